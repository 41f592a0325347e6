#include "core/AlertState.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr double Second = 1.0 / 86400.0;

// Feeds results one second apart from t = 1000 days; returns the changes.
std::vector<TAlertChange> Feed(TAlertTracker& tracker, const std::string& results,
                               TAlertThresholds thresholds = {}, double start = 1000.0) {
    std::vector<TAlertChange> changes;
    double t = start;
    for (char c : results) {
        if (auto change = tracker.Feed(c == '+' ? prSuccess : prTimedOut, t, thresholds))
            changes.push_back(*change);
        t += Second;
    }
    return changes;
}

} // namespace

TEST(AlertTracker, DecidesOnRunsOfResultsAndOnlyTheFirstDecisionIsSilent) {
    TAlertTracker tracker;
    auto changes = Feed(tracker, "--+---");
    ASSERT_EQ(changes.size(), 2U);
    // The first decision after a start: Up on the first success, unannounced.
    EXPECT_EQ(changes[0].NewState, TAlertState::Up);
    EXPECT_TRUE(changes[0].Silent);
    // Down after three failures in a row, dated from the first of them.
    EXPECT_EQ(changes[1].OldState, TAlertState::Up);
    EXPECT_EQ(changes[1].NewState, TAlertState::Down);
    EXPECT_FALSE(changes[1].Silent);
    EXPECT_DOUBLE_EQ(changes[1].Since, 1000.0 + 3 * Second);
    EXPECT_DOUBLE_EQ(changes[1].OldSince, 1000.0 + 2 * Second);
    EXPECT_EQ(tracker.State(), TAlertState::Down);

    // Flapping every cycle never reaches three failures in a row.
    TAlertTracker flapping;
    changes = Feed(flapping, "+-+-+-+-+-+-+-+-+-+-+--+--+");
    ASSERT_EQ(changes.size(), 1U);
    EXPECT_TRUE(changes[0].Silent);

    // Up again only after UpAfter successes; a reset starts over silently.
    TAlertTracker slow;
    changes = Feed(slow, "-+-++", {1, 2});
    ASSERT_EQ(changes.size(), 2U);
    EXPECT_EQ(changes[0].NewState, TAlertState::Down);
    EXPECT_TRUE(changes[0].Silent);
    EXPECT_EQ(changes[1].NewState, TAlertState::Up);
    EXPECT_FALSE(changes[1].Silent);
    slow.Reset();
    EXPECT_EQ(slow.State(), TAlertState::Unknown);
    changes = Feed(slow, "-", {1, 2});
    ASSERT_EQ(changes.size(), 1U);
    EXPECT_TRUE(changes[0].Silent);

    // Stored thresholds outside 1..20 cannot switch alerting off.
    const TAlertThresholds wild = TAlertThresholds{0, 500}.Clamped();
    EXPECT_EQ(wild.DownAfter, 1);
    EXPECT_EQ(wild.UpAfter, 20);
}

TEST(AlertTexts, MessagesAndSummaries) {
    TAlertChange down;
    down.Host = "printer-2F";
    down.OldState = TAlertState::Up;
    down.NewState = TAlertState::Down;
    down.Result = prTimedOut;
    down.Since = EncodeDateTime({2026, 12, 8, 14, 2, 11, 0});
    EXPECT_EQ(AlertMessage(down), "printer-2F is down (Timed Out) since 14:02:11");

    TAlertChange up = down;
    up.OldState = TAlertState::Down;
    up.NewState = TAlertState::Up;
    up.OldSince = down.Since;
    up.Since = down.Since + 252 * Second;
    EXPECT_EQ(AlertMessage(up), "printer-2F is up again after 4 min 12 s");
    EXPECT_EQ(FormatDuration(7500), "2 h 5 min");
    EXPECT_EQ(FormatDuration(3 * 86400 + 4 * 3600 + 59), "3 d 4 h");

    std::vector<TAlertChange> many(12, down);
    for (size_t i = 0; i < many.size(); ++i)
        many[i].Host = "d" + std::to_string(i);
    EXPECT_EQ(AlertSummary(many), "12 devices down: d0, d1, d2, d3, d4 and 7 more");
    many.push_back(up);
    EXPECT_EQ(AlertSummary(many),
              "12 devices down: d0, d1, d2, d3, d4 and 7 more; 1 up again: printer-2F");

    EXPECT_EQ(StateSummary({"printer-2F", "10.0.0.7", "core-sw"}, 3, 30, 27),
              "3 of 30 down: printer-2F, 10.0.0.7, core-sw");
    EXPECT_EQ(StateSummary({"a", "b", "c", "d", "e"}, 8, 30, 22),
              "8 of 30 down: a, b, c, d, e and 3 more");
    EXPECT_EQ(StateSummary({}, 0, 30, 30), "All 30 up");
}
