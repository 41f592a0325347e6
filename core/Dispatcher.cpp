#include "core/Dispatcher.h"

#include <atomic>
#include <memory>
#include <utility>

namespace {
std::atomic<TDispatcher*> gMainThreadDispatcher{nullptr};
} // namespace

TDispatcher* MainThreadDispatcher() {
    return gMainThreadDispatcher.load();
}

void SetMainThreadDispatcher(TDispatcher* Dispatcher) {
    gMainThreadDispatcher.store(Dispatcher);
}

TQueueDispatcher::~TQueueDispatcher() {
    for (Node* list : {FCarry, FPosted.load()})
        while (list != nullptr)
            delete std::exchange(list, list->Next);
}

void TQueueDispatcher::Post(std::function<void()> Call) {
    auto* node = new Node{std::move(Call), nullptr};
    FCount.fetch_add(1);
    Node* head = FPosted.load();
    do
        node->Next = head;
    while (!FPosted.compare_exchange_weak(head, node));
    // Only the first call since the last drain may find the drainer asleep;
    // calls that come while it gathers or runs a batch cost no wake-up at all.
    if (head != nullptr)
        return;
    bool wake;
    {
        std::lock_guard<std::mutex> lock(FLock);
        wake = FWaiting;
    }
    if (wake)
        FReady.notify_one();
}

TQueueDispatcher::Node* TQueueDispatcher::TakePosted() {
    Node* newest = FPosted.exchange(nullptr);
    Node* oldest = nullptr;
    while (newest != nullptr) {
        Node* next = newest->Next;
        newest->Next = oldest;
        oldest = newest;
        newest = next;
    }
    return oldest;
}

size_t TQueueDispatcher::Drain() {
    size_t ran = 0;
    for (;;) {
        Node* batch;
        {
            std::lock_guard<std::mutex> lock(FLock);
            batch = std::exchange(FCarry, nullptr);
        }
        if (batch == nullptr)
            batch = TakePosted();
        if (batch == nullptr)
            return ran;
        while (batch != nullptr) {
            std::unique_ptr<Node> node(std::exchange(batch, batch->Next));
            FCount.fetch_sub(1);
            try {
                node->Call();
            } catch (...) {
                // A failing call must not lose the ones queued behind it.
                std::lock_guard<std::mutex> lock(FLock);
                Node** tail = &batch;
                while (*tail != nullptr)
                    tail = &(*tail)->Next;
                *tail = FCarry;
                FCarry = batch;
                throw;
            }
            ++ran;
        }
    }
}

// Under FLock.
bool TQueueDispatcher::Ready() const {
    return FPosted.load() != nullptr || FCarry != nullptr || FWoken;
}

size_t TQueueDispatcher::WaitAndDrain(std::chrono::milliseconds Timeout) {
    {
        std::unique_lock<std::mutex> lock(FLock);
        if (!Ready()) {
            FWaiting = true;
            FReady.wait_for(lock, Timeout, [this] { return Ready(); });
            FWaiting = false;
            // The rest of a burst joins the first call; only Wake cuts this short.
            if (FPosted.load() != nullptr && FGather > std::chrono::milliseconds::zero())
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
    return FCount.load();
}

bool TQueueDispatcher::Waiting() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FWaiting;
}
