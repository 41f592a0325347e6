#pragma once
// Sleeping on a 32-bit word until another thread changes it and wakes the
// sleepers, with a deadline: no lock around the word, so thousands of
// sleepers cost no wake-ups of their own. Header-only, so that the ICMP
// module, which links no framework, can use it too.

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>

namespace futex {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

inline long Call(std::atomic<uint32_t>& Word, int Operation, uint32_t Value,
                 const timespec* Deadline) {
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(&Word), Operation | FUTEX_PRIVATE_FLAG,
                   Value, Deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

// Wakes up to Count threads asleep on Word.
inline void Wake(std::atomic<uint32_t>& Word, int Count) {
    Call(Word, FUTEX_WAKE, static_cast<uint32_t>(Count), nullptr);
}

// Sleeps while Word holds Expected, until a wake-up or Deadline, an absolute
// CLOCK_MONOTONIC time (nullptr: none). The kernel checks the word and sleeps
// in one step, so a change made in between is never missed. False once the
// deadline has passed; callers check the word again either way.
inline bool Wait(std::atomic<uint32_t>& Word, uint32_t Expected, const timespec* Deadline) {
    return !(Call(Word, FUTEX_WAIT_BITSET, Expected, Deadline) != 0 && errno == ETIMEDOUT);
}

// The deadline After from now, for Wait.
inline timespec MonotonicAfter(std::chrono::milliseconds After) {
    const long long ms = After.count();
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += static_cast<time_t>(ms / 1000);
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        ++t.tv_sec;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

} // namespace futex
