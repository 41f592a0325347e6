// Device statistics against figures worked out by hand.

#include "core/DeviceStats.h"

#include <gtest/gtest.h>

namespace {

// A midnight: five-minute periods start at whole multiples of it.
constexpr TDateTime Day = 45000.0;

TDateTime AtMinute(double Minutes) {
    return Day + Minutes / 1440.0;
}

TEST(DeviceStats, RoundTripFiguresCountSuccessesAndJitterOnlyBackToBackOnes) {
    TDeviceStats stats;
    EXPECT_FALSE(stats.LastRtt());
    EXPECT_FALSE(stats.AvgRtt());
    EXPECT_FALSE(stats.Jitter());
    EXPECT_FALSE(stats.Loss());
    EXPECT_FALSE(stats.Availability(Day));
    // 10, 14, lost, 20, 18, lost, lost, 30; a lost probe's time never counts.
    const std::pair<TPingResult, uint32_t> probes[] = {
        {prSuccess, 10}, {prSuccess, 14}, {prTimedOut, 999},          {prSuccess, 20},
        {prSuccess, 18}, {prTimedOut, 0}, {prDestHostUnreachable, 0}, {prSuccess, 30}};
    for (const auto& [result, rtt] : probes)
        stats.Add(result, rtt, Day);
    EXPECT_EQ(stats.Probes(), 8u);
    EXPECT_EQ(stats.LastRtt(), 30u);
    EXPECT_EQ(stats.MinRtt(), 10u);
    EXPECT_EQ(stats.MaxRtt(), 30u);
    EXPECT_DOUBLE_EQ(*stats.AvgRtt(), 92.0 / 5);
    // |14-10| and |18-20|: the pairs split by losses do not count.
    EXPECT_DOUBLE_EQ(*stats.Jitter(), 3.0);
    EXPECT_DOUBLE_EQ(*stats.Loss(), 37.5);
    EXPECT_DOUBLE_EQ(*stats.RecentLoss(), 37.5);
    TAlertTracker alert;
    alert.Feed(prSuccess, Day - 252.0 / 86400, {});
    EXPECT_EQ(DeviceStatsText(stats, alert, Day),
              "Round trip: last 30 ms, min 10 ms, avg 18 ms, max 30 ms, jitter 3.0 ms\n"
              "Loss: 37.5 % of the last 8 probes, 37.5 % of 8 since Start\n"
              "Availability: 62.5 % over 24 hours\nUp for 4 min 12 s");
}

TEST(DeviceStats, RecentLossIsOfTheLastHundredAndLossOfAllSinceStart) {
    TDeviceStats stats;
    for (int i = 0; i < 50; ++i)
        stats.Add(prTimedOut, 0, Day);
    EXPECT_DOUBLE_EQ(*stats.RecentLoss(), 100.0);
    // Then every fourth of 100 lost.
    for (int i = 0; i < 100; ++i)
        stats.Add(i % 4 == 0 ? prTimedOut : prSuccess, 5, Day);
    EXPECT_EQ(stats.Probes(), 150u);
    EXPECT_DOUBLE_EQ(*stats.RecentLoss(), 25.0);
    EXPECT_DOUBLE_EQ(*stats.Loss(), 50.0);
}

TEST(DeviceStats, AvailabilityCoversTheLastDayAndOutlivesAResetOfTheRun) {
    TDeviceStats stats;
    stats.Add(prTimedOut, 0, AtMinute(1));
    for (int i = 0; i < 3; ++i)
        stats.Add(prSuccess, 5, AtMinute(62));
    EXPECT_DOUBLE_EQ(*stats.Availability(AtMinute(62)), 75.0);
    // The first period is still inside a day later, then leaves.
    EXPECT_DOUBLE_EQ(*stats.Availability(AtMinute(1439)), 75.0);
    EXPECT_DOUBLE_EQ(*stats.Availability(AtMinute(1441)), 100.0);

    stats.ResetRun();
    EXPECT_EQ(stats.Probes(), 0u);
    EXPECT_FALSE(stats.LastRtt());
    EXPECT_FALSE(stats.RecentLoss());
    EXPECT_FALSE(stats.Loss());
    EXPECT_DOUBLE_EQ(*stats.Availability(AtMinute(62)), 75.0);

    // No jitter pair across the reset; a probe past the edge pushes the
    // first period out for good.
    stats.Add(prSuccess, 9, AtMinute(1440 + 30));
    EXPECT_FALSE(stats.Jitter());
    stats.Add(prTimedOut, 0, AtMinute(1440 + 31));
    EXPECT_DOUBLE_EQ(*stats.Availability(AtMinute(1440 + 31)), 80.0);
    // Nothing probed within the last day.
    EXPECT_FALSE(stats.Availability(AtMinute(3 * 1440)));
}

} // namespace
