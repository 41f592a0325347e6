#pragma once
// What the latency graph reads: one device's probes and buckets over a range.
// The graph reads on a thread of its own, so a source must allow reads from
// any thread. The store is one source (ui/HistoryStoreSource.h); tests
// bring their own.

#include "core/history/HistoryStore.h"

#include <string>
#include <vector>

class THistorySource {
public:
    virtual ~THistorySource() = default;
    // Ranges [From, To), oldest first.
    virtual std::vector<THistoryProbe> Probes(const std::string& Host, TDateTime From,
                                              TDateTime To) const = 0;
    virtual std::vector<THistoryBucket> Buckets(const std::string& Host, TDateTime From,
                                                TDateTime To) const = 0;
    // Why there are no records to read, if there is a reason; empty otherwise.
    virtual std::string Problem() const { return {}; }
    // Raw probes are kept this many days; older ranges come from buckets.
    virtual double RawDays() const { return 7; }
};
