#pragma once
// The history store as the graph's source. Apart from the graph, so that
// only what shows a store links the store's code.

#include "ui/HistorySource.h"

class THistoryStoreSource : public THistorySource {
public:
    explicit THistoryStoreSource(const THistoryStore& Store, double RawDays = 7)
        : FStore(Store), FRawDays(RawDays) {}
    std::vector<THistoryProbe> Probes(const std::string& Host, TDateTime From,
                                      TDateTime To) const override {
        return FStore.Probes(Host, From, To);
    }
    std::vector<THistoryBucket> Buckets(const std::string& Host, TDateTime From,
                                        TDateTime To) const override {
        return FStore.Buckets(Host, From, To);
    }
    std::string Problem() const override {
        return FStore.Working() ? std::string() : FStore.Problem();
    }
    double RawDays() const override { return FRawDays; }

private:
    const THistoryStore& FStore;
    double FRawDays;
};
