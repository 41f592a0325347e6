#include "framework/Thread.h"

#include "framework/Exceptions.h"

#include "framework/Futex.h"

#include <algorithm>
#include <climits>
#include <cstring>

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
    futex::Wake(FTerminated, INT_MAX);
    WakeForTerminate();
}

void TThread::WaitFor() {
    std::lock_guard<std::mutex> lock(FJoinLock);
    if (!FStarted || FJoined)
        return;
    pthread_join(FHandle, nullptr);
    FJoined = true;
}

bool TThread::WaitForTerminate(std::chrono::milliseconds Timeout) {
    const timespec deadline =
        futex::MonotonicAfter(std::max(Timeout, std::chrono::milliseconds::zero()));
    // The kernel sleeps only while the word is still 0, so a Terminate that
    // comes between the check and the sleep is never missed.
    while (!Terminated()) {
        if (!futex::Wait(FTerminated, 0, &deadline))
            break;
    }
    return Terminated();
}
