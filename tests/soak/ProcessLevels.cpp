#include "tests/soak/ProcessLevels.h"

#include <dirent.h>

#include <algorithm>
#include <fstream>

// Present when the sanitizer's allocator is linked in.
extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));
extern "C" size_t __sanitizer_get_heap_size() __attribute__((weak));

namespace {

// Entries of a /proc folder, without "." and "..".
int CountEntries(const char* Folder) {
    DIR* dir = opendir(Folder);
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count;
}

long ReadRssKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

long Margin(long Base, long MinKiB) {
    return std::max(Base * TLevelGuard::MarginPercent / 100, MinKiB);
}

std::string MiB(long KiB) {
    return std::to_string(KiB / 1024) + "." + std::to_string(KiB % 1024 * 10 / 1024) + " MiB";
}

} // namespace

TProcessLevels ReadProcessLevels() {
    TProcessLevels levels;
    // The folder being read holds one descriptor of its own while it is read.
    levels.Descriptors = CountEntries("/proc/self/fd") - 1;
    levels.Threads = CountEntries("/proc/self/task");
    levels.RssKiB = ReadRssKiB();
    if (__sanitizer_get_current_allocated_bytes != nullptr &&
        __sanitizer_get_heap_size != nullptr) {
        const size_t live = __sanitizer_get_current_allocated_bytes();
        levels.HeapKiB = static_cast<long>(live / 1024);
        levels.KeptKiB = static_cast<long>((__sanitizer_get_heap_size() - live) / 1024);
    }
    return levels;
}

void TLevelGuard::SetMemoryBase(const TProcessLevels& Levels) {
    FMemoryBase = Levels;
    FRssLimitKiB = Levels.RssKiB + Margin(Levels.RssKiB, RssMarginMinKiB);
    FHeapLimitKiB =
        Levels.HeapKiB < 0 ? -1 : Levels.HeapKiB + Margin(Levels.HeapKiB, HeapMarginMinKiB);
}

long TLevelGuard::RssLimitKiB() const {
    if (FMemoryBase.HeapKiB < 0)
        return FRssLimitKiB;
    return FRssLimitKiB + FThreadsStarted * SanitizerBytesPerThread / 1024;
}

std::string TLevelGuard::Check(const TProcessLevels& Levels) const {
    std::string faults;
    auto add = [&faults](const std::string& fault) {
        faults += faults.empty() ? fault : "; " + fault;
    };
    if (Levels.Descriptors != FBase.Descriptors)
        add("descriptors " + std::to_string(Levels.Descriptors) + " (base " +
            std::to_string(FBase.Descriptors) + ")");
    if (Levels.Threads != FBase.Threads)
        add("threads " + std::to_string(Levels.Threads) + " (base " +
            std::to_string(FBase.Threads) + ")");
    if (MemoryBaseSet() && Levels.RssKiB > RssLimitKiB())
        add("resident " + MiB(Levels.RssKiB) + " (limit " + MiB(RssLimitKiB()) + ")");
    if (FHeapLimitKiB >= 0 && Levels.HeapKiB > FHeapLimitKiB)
        add("heap " + MiB(Levels.HeapKiB) + " (limit " + MiB(FHeapLimitKiB) + ")");
    return faults;
}
