#pragma once
// What an operator wants to know of one device beyond its latest result:
// how fast it answers, how steadily, how often it does not, and how much of
// the last day it was there. Kept as replies arrive, in constant memory.

#include "framework/DateTime.h"
#include "net/qsPingTypes.h"

#include <array>
#include <cstdint>
#include <optional>

class TDeviceStats {
public:
    // One probe's outcome; RoundTripMs counts for successes only.
    void Add(TPingResult Result, uint32_t RoundTripMs, TDateTime When);
    // Forgets everything since Start but the last day's availability, which
    // spans restarts of scanning within the program's run.
    void ResetRun();

    uint64_t Probes() const; // since Start
    // Round-trip times of successes since Start, in milliseconds; empty before the first.
    std::optional<uint32_t> LastRtt() const;
    std::optional<uint32_t> MinRtt() const;
    std::optional<double> AvgRtt() const;
    std::optional<uint32_t> MaxRtt() const;
    // Mean absolute difference of successive round-trip times.
    std::optional<double> Jitter() const;
    // Percent of probes that were not success: of the last 100, and since Start.
    std::optional<double> RecentLoss() const;
    std::optional<double> Loss() const;
    // Percent of the probes of the 24 hours before Now that succeeded.
    std::optional<double> Availability(TDateTime Now) const;
};
