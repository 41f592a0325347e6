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
    bool first;
    {
        std::lock_guard<std::mutex> lock(FLock);
        first = FQueue.empty();
        FQueue.push_back(std::move(Call));
    }
    // A queue that held calls already has had its waiter woken; with
    // thousands of workers most posts then cost no wake-up at all.
    if (first)
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
        FReady.wait_for(lock, Timeout, [this] { return !FQueue.empty() || FWoken; });
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
