// The history store in memory, for building and testing the log viewer's
// history parts on a branch that does not have the store on disk yet. Built
// only while core/history/HistoryStore.cpp is missing.

#include "core/history/HistoryStore.h"

#include <mutex>

struct THistoryStore::TImpl {
    mutable std::mutex Lock;
    std::vector<THistoryProbe> Probes;
    std::vector<THistoryChange> Changes;
};

THistoryStore::THistoryStore(std::string, THistoryLimits, TProblemEvent)
    : FImpl(std::make_unique<TImpl>()) {}

THistoryStore::~THistoryStore() = default;

std::string THistoryStore::DefaultPath() {
    return {};
}

void THistoryStore::AddProbe(THistoryProbe Probe) {
    const std::lock_guard<std::mutex> lock(FImpl->Lock);
    FImpl->Probes.push_back(std::move(Probe));
}

void THistoryStore::AddChange(THistoryChange Change) {
    const std::lock_guard<std::mutex> lock(FImpl->Lock);
    FImpl->Changes.push_back(std::move(Change));
}

std::vector<THistoryProbe> THistoryStore::Probes(const std::string& Host, TDateTime From,
                                                 TDateTime To) const {
    const std::lock_guard<std::mutex> lock(FImpl->Lock);
    std::vector<THistoryProbe> found;
    for (const THistoryProbe& probe : FImpl->Probes)
        if ((Host.empty() || probe.Host == Host) && probe.Time >= From && probe.Time < To)
            found.push_back(probe);
    return found;
}

std::vector<THistoryBucket> THistoryStore::Buckets(const std::string&, TDateTime, TDateTime) const {
    return {};
}

std::vector<THistoryChange> THistoryStore::Changes(const std::string& Host, TDateTime From,
                                                   TDateTime To) const {
    const std::lock_guard<std::mutex> lock(FImpl->Lock);
    std::vector<THistoryChange> found;
    for (const THistoryChange& change : FImpl->Changes)
        if ((Host.empty() || change.Host == Host) && change.Time >= From && change.Time < To)
            found.push_back(change);
    return found;
}

bool THistoryStore::Working() const {
    return true;
}

std::string THistoryStore::Problem() const {
    return {};
}

void THistoryStore::Flush() {}
