#include "net/NameLookup.h"

#include "platform/Sockets.h"

#include <pthread.h>

#include <chrono>
#include <deque>
#include <utility>

namespace {

using namespace std::chrono_literals;

// A pool thread with nothing to do for this long ends, so a stopped program
// holds no lookup threads for long.
constexpr auto IdleLife = 2s;
// The resolver and its plug-ins want more stack than a ping worker.
constexpr size_t LookupStackSize = size_t{512} * 1024;

struct TPool {
    std::mutex Lock;
    std::condition_variable Work;
    std::deque<std::shared_ptr<TNameLookup>> Queue;
    int Threads = 0;
    int Idle = 0;
    int InFlight = 0;
};

// Never destroyed: a pool thread may still be asking the resolver while the
// program exits, and must not find its pool gone.
TPool* gPool = nullptr;
std::once_flag gPoolOnce;

TPool& Pool() {
    std::call_once(gPoolOnce, [] {
        gPool = new TPool;
        // A forked child has none of the pool's threads: it starts afresh.
        pthread_atfork(nullptr, nullptr, [] { gPool = new TPool; });
    });
    return *gPool;
}

void* PoolThread(void* Arg) {
    pthread_setname_np(pthread_self(), TNameLookup::PoolThreadName);
    TPool& pool = *static_cast<TPool*>(Arg);
    std::unique_lock<std::mutex> lock(pool.Lock);
    for (;;) {
        if (pool.Queue.empty()) {
            ++pool.Idle;
            const bool work =
                pool.Work.wait_for(lock, IdleLife, [&] { return !pool.Queue.empty(); });
            --pool.Idle;
            if (!work) {
                --pool.Threads;
                return nullptr;
            }
        }
        std::shared_ptr<TNameLookup> lookup = std::move(pool.Queue.front());
        pool.Queue.pop_front();
        if (lookup->Abandoned())
            continue; // nobody waits for it: not worth asking
        ++pool.InFlight;
        lock.unlock();
        std::optional<platform::TResolvedAddresses> found =
            platform::GetHostAddresses(lookup->Name());
        // No longer asked once the answer is in: counted out before the
        // waiter wakes, so that what the waiter does next never sees it.
        lock.lock();
        --pool.InFlight;
        lock.unlock();
        lookup->Complete(std::move(found));
        lookup.reset();
        lock.lock();
    }
}

// Starts one more pool thread; false when the system refuses.
bool AddThread(TPool& pool) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, LookupStackSize);
    // Detached: a lookup cannot be cut short, and nobody may wait for one.
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, &PoolThread, &pool);
    pthread_attr_destroy(&attr);
    return rc == 0;
}

} // namespace

void TNameLookup::Start(const std::shared_ptr<TNameLookup>& Lookup) {
    TPool& pool = Pool();
    std::unique_lock<std::mutex> lock(pool.Lock);
    if (Lookup->Abandoned())
        return;
    pool.Queue.push_back(Lookup);
    // Each idle thread takes one queued lookup; start another thread only
    // when they are all spoken for.
    if (pool.Idle < static_cast<int>(pool.Queue.size()) && pool.Threads < MaxPoolThreads) {
        if (AddThread(pool)) {
            ++pool.Threads;
        } else if (pool.Threads == 0) {
            // No thread will ever take it: the lookup fails, as one the
            // resolver could not answer.
            pool.Queue.pop_back();
            lock.unlock();
            Lookup->Complete(std::nullopt);
            return;
        }
    }
    pool.Work.notify_one();
}

std::optional<platform::TResolvedAddresses> TNameLookup::Wait() {
    std::unique_lock<std::mutex> lock(FLock);
    FChanged.wait(lock, [&] { return FDone || FAbandoned; });
    if (FAbandoned)
        return std::nullopt;
    return FFound;
}

void TNameLookup::Abandon() {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FAbandoned = true;
    }
    FChanged.notify_all();
}

bool TNameLookup::Abandoned() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FAbandoned;
}

bool TNameLookup::Finished() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FDone;
}

void TNameLookup::Complete(std::optional<platform::TResolvedAddresses> Found) {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FFound = std::move(Found);
        FDone = true;
    }
    FChanged.notify_all();
}

int TNameLookup::PoolThreads() {
    TPool& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.Lock);
    return pool.Threads;
}

int TNameLookup::LookupsInFlight() {
    TPool& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.Lock);
    return pool.InFlight;
}
