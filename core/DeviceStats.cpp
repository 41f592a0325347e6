#include "core/DeviceStats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

size_t Slot(int64_t Period) {
    const int64_t n = TDeviceStats::BucketsPerDay;
    return static_cast<size_t>(((Period % n) + n) % n);
}

int64_t PeriodOf(TDateTime When) {
    return static_cast<int64_t>(std::floor(When * TDeviceStats::BucketsPerDay));
}

double Percent(uint64_t Part, uint64_t Whole) {
    return 100.0 * static_cast<double>(Part) / static_cast<double>(Whole);
}

} // namespace

void TDeviceStats::Add(TPingResult Result, uint32_t RoundTripMs, TDateTime When) {
    const bool success = Result == prSuccess;
    ++FProbes;
    if (success) {
        if (FSuccesses == 0) {
            FMinRtt = RoundTripMs;
            FMaxRtt = RoundTripMs;
        } else {
            FMinRtt = std::min(FMinRtt, RoundTripMs);
            FMaxRtt = std::max(FMaxRtt, RoundTripMs);
        }
        if (FPreviousSucceeded) {
            FJitterSum += RoundTripMs > FLastRtt ? RoundTripMs - FLastRtt : FLastRtt - RoundTripMs;
            ++FJitterPairs;
        }
        ++FSuccesses;
        FRttSum += RoundTripMs;
        FLastRtt = RoundTripMs;
    }
    FPreviousSucceeded = success;

    uint64_t& word = FRecent[FRecentNext / 64];
    const uint64_t bit = uint64_t{1} << (FRecentNext % 64);
    if (FRecentCount == RecentCount) {
        if ((word & bit) != 0)
            --FRecentFailures;
    } else {
        ++FRecentCount;
    }
    if (success) {
        word &= ~bit;
    } else {
        word |= bit;
        ++FRecentFailures;
    }
    FRecentNext = static_cast<uint8_t>((FRecentNext + 1) % RecentCount);

    // A clock set back counts in the latest period: the ring only moves forward.
    const int64_t period = PeriodOf(When);
    if (period > FPeriod)
        Advance(period);
    TBucket& bucket = FBuckets[Slot(FPeriod)];
    if (bucket.Probes == std::numeric_limits<uint16_t>::max()) {
        // Only a clock set back by hours gets here: halving keeps the ratio.
        const TBucket half{static_cast<uint16_t>(bucket.Probes / 2),
                           static_cast<uint16_t>(bucket.Successes / 2)};
        Drop(bucket);
        bucket = half;
        FDayProbes += half.Probes;
        FDaySuccesses += half.Successes;
    }
    ++bucket.Probes;
    ++FDayProbes;
    if (success) {
        ++bucket.Successes;
        ++FDaySuccesses;
    }
    FLatest = When;
}

void TDeviceStats::Advance(int64_t Period) {
    if (FPeriod < 0 || Period - FPeriod >= BucketsPerDay) {
        FBuckets.fill({});
        FDayProbes = 0;
        FDaySuccesses = 0;
    } else {
        for (int64_t p = FPeriod + 1; p <= Period; ++p)
            Drop(FBuckets[Slot(p)]);
    }
    FPeriod = Period;
}

void TDeviceStats::Drop(TBucket& Bucket) {
    FDayProbes -= Bucket.Probes;
    FDaySuccesses -= Bucket.Successes;
    Bucket = {};
}

void TDeviceStats::ResetRun() {
    FProbes = 0;
    FSuccesses = 0;
    FRttSum = 0;
    FLastRtt = 0;
    FMinRtt = 0;
    FMaxRtt = 0;
    FJitterSum = 0;
    FJitterPairs = 0;
    FPreviousSucceeded = false;
    FRecent = {};
    FRecentNext = 0;
    FRecentCount = 0;
    FRecentFailures = 0;
}

uint64_t TDeviceStats::Probes() const {
    return FProbes;
}

std::optional<uint32_t> TDeviceStats::LastRtt() const {
    return FSuccesses > 0 ? std::optional(FLastRtt) : std::nullopt;
}

std::optional<uint32_t> TDeviceStats::MinRtt() const {
    return FSuccesses > 0 ? std::optional(FMinRtt) : std::nullopt;
}

std::optional<double> TDeviceStats::AvgRtt() const {
    if (FSuccesses == 0)
        return std::nullopt;
    return static_cast<double>(FRttSum) / static_cast<double>(FSuccesses);
}

std::optional<uint32_t> TDeviceStats::MaxRtt() const {
    return FSuccesses > 0 ? std::optional(FMaxRtt) : std::nullopt;
}

std::optional<double> TDeviceStats::Jitter() const {
    if (FJitterPairs == 0)
        return std::nullopt;
    return static_cast<double>(FJitterSum) / static_cast<double>(FJitterPairs);
}

std::optional<double> TDeviceStats::RecentLoss() const {
    if (FRecentCount == 0)
        return std::nullopt;
    return Percent(FRecentFailures, FRecentCount);
}

std::optional<double> TDeviceStats::Loss() const {
    if (FProbes == 0)
        return std::nullopt;
    return Percent(FProbes - FSuccesses, FProbes);
}

std::optional<double> TDeviceStats::Availability(TDateTime Now) const {
    if (FPeriod < 0)
        return std::nullopt;
    const int64_t now = std::max(PeriodOf(Now), FPeriod);
    if (now - FPeriod >= BucketsPerDay)
        return std::nullopt;
    // The periods that left the window since the latest probe hold the
    // slots the ring would reuse for the periods up to now.
    uint32_t probes = FDayProbes;
    uint32_t successes = FDaySuccesses;
    for (int64_t p = FPeriod + 1; p <= now; ++p) {
        const TBucket& gone = FBuckets[Slot(p)];
        probes -= gone.Probes;
        successes -= gone.Successes;
    }
    if (probes == 0)
        return std::nullopt;
    return Percent(successes, probes);
}

namespace {

std::string Ms(double Value) {
    char text[32];
    std::snprintf(text, sizeof text, Value < 10 ? "%.1f ms" : "%.0f ms", Value);
    return text;
}

std::string Percent(double Value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %%", Value);
    return text;
}

} // namespace

std::string DeviceStatsText(const TDeviceStats& Stats, const TAlertTracker& Alert, TDateTime Now) {
    std::string text;
    if (Stats.AvgRtt()) {
        text = "Round trip: last " + (Stats.LastRtt() ? Ms(*Stats.LastRtt()) : std::string("-")) +
               ", min " + Ms(*Stats.MinRtt()) + ", avg " + Ms(*Stats.AvgRtt()) + ", max " +
               Ms(*Stats.MaxRtt());
        if (Stats.Jitter())
            text += ", jitter " + Ms(*Stats.Jitter());
    } else {
        text = "Round trip: no reply yet";
    }
    if (Stats.RecentLoss())
        text += "\nLoss: " + Percent(*Stats.RecentLoss()) + " of the last " +
                std::to_string(std::min<uint64_t>(Stats.Probes(), TDeviceStats::RecentCount)) +
                " probes, " + Percent(Stats.Loss().value_or(0)) + " of " +
                std::to_string(Stats.Probes()) + " since Start";
    if (const std::optional<double> available = Stats.Availability(Now))
        text += "\nAvailability: " + Percent(*available) + " over 24 hours";
    if (Alert.State() != TAlertState::Unknown)
        text += std::string("\n") + AlertStateName(Alert.State()) + " for " +
                FormatDuration((Now - Alert.Since()) * 86400.0);
    return text;
}
