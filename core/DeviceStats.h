#pragma once
// What an operator wants to know of one device beyond its latest result:
// how fast it answers, how steadily, how often it does not, and how much of
// the last day it was there. Kept as replies arrive, in constant memory.

#include "core/AlertState.h"
#include "framework/DateTime.h"
#include "net/qsPingTypes.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

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
    // Whether the latest probe since Start succeeded, so that LastRtt is its time.
    bool LastSucceeded() const { return FPreviousSucceeded; }
    std::optional<uint32_t> MinRtt() const;
    std::optional<double> AvgRtt() const;
    std::optional<uint32_t> MaxRtt() const;
    // Mean absolute difference of successive round-trip times: of two
    // probes in a row that both succeeded. A probe that failed between two
    // successes separates them, since their difference would measure the
    // outage rather than how steadily the device answers.
    std::optional<double> Jitter() const;
    // Percent of probes that were not success: of the last 100, and since Start.
    std::optional<double> RecentLoss() const;
    std::optional<double> Loss() const;
    // Percent of the probes of the 24 hours before Now that succeeded.
    // Counted in five-minute periods: the window is the current period and
    // the 287 before it, so its far edge moves in steps of five minutes.
    std::optional<double> Availability(TDateTime Now) const;
    // When the latest probe was added (kept across ResetRun); 0 before any.
    TDateTime Latest() const { return FLatest; }

    static constexpr int RecentCount = 100;
    static constexpr int BucketsPerDay = 288;

private:
    // A period of the last day: its probes and successes. Two 16-bit counts
    // hold five minutes of probing at one a second many times over; 288 of
    // them are a little over a kilobyte a device, where one-minute periods
    // would take five times that for a finer edge nobody reads at 0.1 %.
    struct TBucket {
        uint16_t Probes = 0;
        uint16_t Successes = 0;
    };
    // Ends the periods between the latest one and Period, which becomes the latest.
    void Advance(int64_t Period);
    // Takes a period's counts out of the window's totals and empties it.
    void Drop(TBucket& Bucket);

    // Since Start.
    uint64_t FProbes = 0;
    uint64_t FSuccesses = 0;
    uint64_t FRttSum = 0;
    uint32_t FLastRtt = 0;
    uint32_t FMinRtt = 0;
    uint32_t FMaxRtt = 0;
    uint64_t FJitterSum = 0;
    uint64_t FJitterPairs = 0;
    bool FPreviousSucceeded = false;
    // The last RecentCount outcomes, a set bit for a failure, oldest at FRecentNext
    // once full.
    std::array<uint64_t, 2> FRecent{};
    uint8_t FRecentNext = 0;
    uint8_t FRecentCount = 0;
    uint8_t FRecentFailures = 0;
    // The last day, a ring of periods; FPeriod is the latest one's number
    // (five-minute periods since the epoch of TDateTime), -1 before any.
    std::array<TBucket, BucketsPerDay> FBuckets{};
    int64_t FPeriod = -1;
    uint32_t FDayProbes = 0;
    uint32_t FDaySuccesses = 0;
    TDateTime FLatest = 0;
};

// Every figure of a device in a few lines, for the list's tooltip: round
// trips, loss, availability, and how long it has been in its state.
std::string DeviceStatsText(const TDeviceStats& Stats, const TAlertTracker& Alert, TDateTime Now);
