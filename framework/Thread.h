#pragma once
// A thread object: Execute runs on a thread of its own, Terminate asks it to
// end, WaitFor waits until it has. The object is never freed by its thread;
// its owner waits for it and destroys it.

#include "framework/Persistent.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>

class TThread : public TObject {
public:
    ~TThread() override;
    const char* ClassName() const override { return "TThread"; }

    // Sets Terminated, wakes a wait in WaitForTerminate at once, then runs
    // WakeForTerminate on the caller's thread.
    void Terminate();
    bool Terminated() const { return FTerminated.load(std::memory_order_acquire) != 0; }
    // Blocks until Execute has returned. Safe to call more than once.
    void WaitFor();
    bool Finished() const { return FFinished.load(std::memory_order_acquire); }
    // The error that ended Execute, if one did.
    std::exception_ptr FatalException() const { return FFatalException; }

    // Stack of each new thread; small, since many workers run at once.
    static constexpr size_t DefaultStackSize = size_t{256} * 1024;

protected:
    TThread() = default;
    // Derived constructors call Start last, once the object is complete.
    void Start(size_t StackSize = DefaultStackSize);
    virtual void Execute() = 0;
    // Runs on the thread after Execute has returned.
    virtual void DoTerminate() {}
    // Runs in Terminate on the caller's thread, once Terminated is set: wakes
    // whatever else the thread may be blocked in (an echo, a name lookup), so
    // that a stop never waits for it. Derived classes keep it quick and safe
    // to call more than once; the base's destructor does not call it.
    virtual void WakeForTerminate() {}
    // Sleeps up to Timeout and returns early when Terminate is called.
    // Returns Terminated().
    bool WaitForTerminate(std::chrono::milliseconds Timeout);

private:
    static void* ThreadProc(void* Self);

    pthread_t FHandle{};
    bool FStarted = false;
    bool FJoined = false;
    // 1 once Terminate ran; WaitForTerminate sleeps on this word itself.
    std::atomic<uint32_t> FTerminated{0};
    std::atomic<bool> FFinished{false};
    std::exception_ptr FFatalException;
    std::mutex FJoinLock;
};
