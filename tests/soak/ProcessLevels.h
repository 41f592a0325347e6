#pragma once
// What a long run must give back after each stop: open descriptors, threads
// and memory of this process.

#include <string>

struct TProcessLevels {
    int Descriptors = 0;
    int Threads = 0;
    long RssKiB = 0;
    // The memory the program holds allocated, as the sanitizer's allocator
    // counts it; -1 in a build without the sanitizer.
    long HeapKiB = -1;
    // Freed memory that allocator keeps (quarantine, caches for reuse); -1
    // without it. Part of the resident figure that is not the program's.
    long KeptKiB = -1;
};

TProcessLevels ReadProcessLevels();

// The levels every later stop is held to.
// - Descriptors and threads: exactly as after the first stop.
// - Memory, from the end of the warm-up on: the program's heap within the
//   larger of 10 % and 1 MiB of its level then; resident memory within the
//   larger of 10 % and 8 MiB, and under the sanitizer 256 bytes more for
//   every thread started since. The sanitizer keeps a record for every
//   thread ever started and never reuses it (a program that only starts and
//   joins threads grows by about 170 bytes a thread, its heap unchanged), and
//   its quarantine, caches and shadow take minutes to settle; the heap is the
//   program's own and settles at once.
class TLevelGuard {
public:
    static constexpr int MarginPercent = 10;
    static constexpr long RssMarginMinKiB = 8 * 1024;
    static constexpr long HeapMarginMinKiB = 1024;
    static constexpr long SanitizerBytesPerThread = 256;

    void SetBase(const TProcessLevels& Levels) { FBase = Levels; }
    void SetMemoryBase(const TProcessLevels& Levels);
    const TProcessLevels& Base() const { return FBase; }
    const TProcessLevels& MemoryBase() const { return FMemoryBase; }
    bool MemoryBaseSet() const { return FRssLimitKiB > 0; }
    // Threads started since the memory base was set.
    void ThreadsStarted(long Count) { FThreadsStarted += MemoryBaseSet() ? Count : 0; }
    long RssLimitKiB() const;
    long HeapLimitKiB() const { return FHeapLimitKiB; }

    // Empty when Levels are back where they belong; otherwise what is not.
    std::string Check(const TProcessLevels& Levels) const;

private:
    TProcessLevels FBase;
    TProcessLevels FMemoryBase;
    long FRssLimitKiB = 0;
    long FHeapLimitKiB = -1;
    long FThreadsStarted = 0;
};
