#include "core/Dispatcher.h"

#include <atomic>

namespace {
std::atomic<TDispatcher*> gMainThreadDispatcher{nullptr};
} // namespace

TDispatcher* MainThreadDispatcher() {
    return gMainThreadDispatcher.load();
}

void SetMainThreadDispatcher(TDispatcher* Dispatcher) {
    gMainThreadDispatcher.store(Dispatcher);
}

void TQueueDispatcher::Post(std::function<void()> Call) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(FLock);
        FQueue.push_back(std::move(Call));
        wake = FWaiting && FQueue.size() == 1;
    }
    // Only a drainer waiting for its first call is woken, once; calls that
    // come while it gathers or runs a batch cost no wake-up at all.
    if (wake)
        FReady.notify_one();
}

size_t TQueueDispatcher::Drain() {
    size_t ran = 0;
    for (;;) {
        std::deque<std::function<void()>> batch;
        {
            std::lock_guard<std::mutex> lock(FLock);
            batch.swap(FQueue);
        }
        if (batch.empty())
            return ran;
        while (!batch.empty()) {
            std::function<void()> call = std::move(batch.front());
            batch.pop_front();
            try {
                call();
            } catch (...) {
                // A failing call must not lose the ones queued behind it.
                std::lock_guard<std::mutex> lock(FLock);
                FQueue.insert(FQueue.begin(), std::make_move_iterator(batch.begin()),
                              std::make_move_iterator(batch.end()));
                throw;
            }
            ++ran;
        }
    }
}

size_t TQueueDispatcher::WaitAndDrain(std::chrono::milliseconds Timeout) {
    {
        std::unique_lock<std::mutex> lock(FLock);
        if (FQueue.empty() && !FWoken) {
            FWaiting = true;
            FReady.wait_for(lock, Timeout, [this] { return !FQueue.empty() || FWoken; });
            FWaiting = false;
            // The rest of a burst joins the first call; only Wake cuts this short.
            if (!FQueue.empty() && FGather > std::chrono::milliseconds::zero())
                FReady.wait_for(lock, FGather, [this] { return FWoken; });
        }
        FWoken = false;
    }
    return Drain();
}

void TQueueDispatcher::Wake() {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FWoken = true;
    }
    FReady.notify_all();
}

size_t TQueueDispatcher::Pending() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FQueue.size();
}

bool TQueueDispatcher::Waiting() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FWaiting;
}
