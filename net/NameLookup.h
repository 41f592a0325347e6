#pragma once
// Name lookups off the caller's thread: a small shared pool of lookup
// threads asks the resolver, first come first served, so that a slow or dead
// name server holds up only those who wait for its answers. A lookup is a
// ticket: its waiter waits for the outcome or abandons it; an abandoned
// lookup that is already being asked finishes in the pool later and its
// outcome is dropped. Nobody ever waits for a pool thread to end.

#include "platform/Sockets.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class TNameLookup {
public:
    explicit TNameLookup(std::string Name) : FName(std::move(Name)) {}
    const std::string& Name() const { return FName; }

    // Hands the lookup to the pool. Does nothing once abandoned.
    static void Start(const std::shared_ptr<TNameLookup>& Lookup);

    // Blocks until the outcome is known or Abandon is called; returns the
    // addresses found (both kinds), or nothing when the name was not found
    // or the wait was abandoned.
    std::optional<platform::TResolvedAddresses> Wait();
    // Whether the outcome is known, for a waiter that polls instead.
    bool Finished() const;
    // Ends a wait at once, now or to come; the outcome, if any, is dropped.
    // Quick, and safe to call from any thread and more than once.
    void Abandon();
    bool Abandoned() const;

    // Called by the pool with the resolver's answer.
    void Complete(std::optional<platform::TResolvedAddresses> Found);

    // Pool figures, for tests and benchmarks: threads now alive, and lookups
    // now being asked (abandoned or not).
    static int PoolThreads();
    static int LookupsInFlight();
    // At most this many lookups are asked at once; the rest queue.
    static constexpr int MaxPoolThreads = 16;
    // The name each pool thread bears; an idle one ends by itself a while
    // later, so thread counts that must come back leave these out.
    static constexpr const char* PoolThreadName = "sentrel-lookup";

private:
    const std::string FName;
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    bool FDone = false;
    bool FAbandoned = false;
    std::optional<platform::TResolvedAddresses> FFound;
};
