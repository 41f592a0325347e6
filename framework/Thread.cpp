#include "framework/Thread.h"

#include "framework/Exceptions.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

// The interval wait sleeps on the terminate word with no lock around it: a
// condition variable's lock costs every worker a futex wake-up of its own
// each cycle, which adds up with thousands of workers.
long Futex(std::atomic<uint32_t>& Word, int Operation, uint32_t Value, const timespec* Deadline) {
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(&Word), Operation | FUTEX_PRIVATE_FLAG,
                   Value, Deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

} // namespace

TThread::~TThread() {
    // A thread is never left running behind its object.
    if (FStarted) {
        Terminate();
        WaitFor();
    }
}

void TThread::Start(size_t StackSize) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (StackSize < static_cast<size_t>(PTHREAD_STACK_MIN))
        StackSize = PTHREAD_STACK_MIN;
    pthread_attr_setstacksize(&attr, StackSize);
    const int rc = pthread_create(&FHandle, &attr, &TThread::ThreadProc, this);
    pthread_attr_destroy(&attr);
    if (rc != 0)
        throw Exception(Format("Thread creation error: %s", std::strerror(rc)));
    FStarted = true;
}

void* TThread::ThreadProc(void* Self) {
    auto* thread = static_cast<TThread*>(Self);
    try {
        thread->Execute();
    } catch (...) {
        thread->FFatalException = std::current_exception();
    }
    try {
        thread->DoTerminate();
    } catch (...) {
        if (!thread->FFatalException)
            thread->FFatalException = std::current_exception();
    }
    thread->FFinished.store(true, std::memory_order_release);
    return nullptr;
}

void TThread::Terminate() {
    FTerminated.store(1, std::memory_order_release);
    Futex(FTerminated, FUTEX_WAKE, INT_MAX, nullptr);
}

void TThread::WaitFor() {
    std::lock_guard<std::mutex> lock(FJoinLock);
    if (!FStarted || FJoined)
        return;
    pthread_join(FHandle, nullptr);
    FJoined = true;
}

bool TThread::WaitForTerminate(std::chrono::milliseconds Timeout) {
    const long long ms = std::max<long long>(Timeout.count(), 0);
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        ++deadline.tv_sec;
        deadline.tv_nsec -= 1000000000L;
    }
    // The kernel sleeps only while the word is still 0, so a Terminate that
    // comes between the check and the sleep is never missed.
    while (!Terminated()) {
        if (Futex(FTerminated, FUTEX_WAIT_BITSET, 0, &deadline) != 0 && errno == ETIMEDOUT)
            break;
    }
    return Terminated();
}
