#pragma once
// Hands work from worker threads to the main thread. The program binds it to
// its event loop; tests and the console mode use a queue they drain.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

class TDispatcher {
public:
    virtual ~TDispatcher() = default;
    // Queues Call to run on the main thread; never waits for it.
    virtual void Post(std::function<void()> Call) = 0;
};

// The dispatcher of the running program; nullptr until one is set.
TDispatcher* MainThreadDispatcher();
void SetMainThreadDispatcher(TDispatcher* Dispatcher);

// A queue that the main thread drains itself.
class TQueueDispatcher : public TDispatcher {
public:
    // Gather: how long WaitAndDrain lets calls gather once the first has come,
    // so that thousands of replies a second wake the main thread a few times
    // rather than once each; zero runs the first call at once.
    explicit TQueueDispatcher(std::chrono::milliseconds Gather = std::chrono::milliseconds::zero())
        : FGather(Gather) {}
    ~TQueueDispatcher() override;
    TQueueDispatcher(const TQueueDispatcher&) = delete;
    TQueueDispatcher& operator=(const TQueueDispatcher&) = delete;

    void Post(std::function<void()> Call) override;
    // Runs every queued call, including calls queued meanwhile; returns how many ran.
    size_t Drain();
    // Waits until a call is queued or Timeout passes (or Wake is called), lets
    // further calls gather, then drains.
    size_t WaitAndDrain(std::chrono::milliseconds Timeout);
    // Ends a WaitAndDrain early, from any thread or a signal-safe context's helper thread.
    void Wake();
    size_t Pending() const;
    // True while WaitAndDrain sleeps until a first call comes.
    bool Waiting() const;

private:
    struct Node {
        std::function<void()> Call;
        Node* Next = nullptr;
    };
    // The posted calls, oldest first, taken off the queue.
    Node* TakePosted();
    bool Ready() const;

    // Posted calls, newest first. Workers push without a lock, so thousands
    // of them posting at once never queue on one another.
    std::atomic<Node*> FPosted{nullptr};
    std::atomic<size_t> FCount{0};
    mutable std::mutex FLock; // the drainer's sleep, and FCarry
    std::condition_variable FReady;
    Node* FCarry = nullptr; // taken but not run, oldest first, when a call threw
    bool FWoken = false;
    bool FWaiting = false; // WaitAndDrain sleeps until a first call comes
    const std::chrono::milliseconds FGather;
};
