#include "core/StatusLogCM.h"
#include "framework/Exceptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Hosts(const TStatusLog& log) {
    std::vector<std::string> hosts;
    for (int i = 0; i < log.Count(); ++i)
        hosts.push_back(log.Records(i).Host);
    return hosts;
}

using V = std::vector<std::string>;

TEST(StatusLog, CapacityZeroKeepsNothingAndRaisesNothing) {
    TStatusLog log(nullptr);
    int events = 0;
    log.OnLogEvent = [&](TObject*, const TDeviceStatusRecord&) { ++events; };
    log.Add("a", prSuccess);
    EXPECT_EQ(log.Count(), 0);
    EXPECT_EQ(events, 0);
    log.SetCapacity(-5); // a stored negative size acts as 0
    EXPECT_EQ(log.Capacity(), 0);
    log.Add("a", prSuccess);
    EXPECT_EQ(log.Count(), 0);
}

TEST(StatusLog, FullLogDropsTheOldestAndEventSeesTheNewRecord) {
    TStatusLog log(nullptr);
    log.SetCapacity(3);
    std::vector<std::pair<std::string, int>> events;
    log.OnLogEvent = [&](TObject* sender, const TDeviceStatusRecord& record) {
        EXPECT_EQ(sender, &log);
        EXPECT_EQ(log.Records(log.Count() - 1).Host, record.Host); // already in place
        events.emplace_back(record.Host, record.Status);
    };
    log.Add("A", prSuccess);
    log.Add("B", prTimedOut);
    log.Add("C", prSuccess);
    log.Add("D", prDestHostUnreachable);
    EXPECT_EQ(log.Count(), 3);
    EXPECT_EQ(Hosts(log), (V{"B", "C", "D"}));
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events.back(), (std::pair<std::string, int>{"D", prDestHostUnreachable}));
    EXPECT_EQ(log.Records(2).Status, prDestHostUnreachable);
    // Many more wrap around the same way.
    for (int i = 0; i < 1000; ++i)
        log.Add(std::to_string(i), prSuccess);
    EXPECT_EQ(Hosts(log), (V{"997", "998", "999"}));
}

TEST(StatusLog, ResizingKeepsTheNewestInOrder) {
    TStatusLog full(nullptr);
    full.SetCapacity(5);
    for (const char* h : {"1", "2", "3", "4", "5"})
        full.Add(h, prSuccess);
    full.SetCapacity(3);
    EXPECT_EQ(Hosts(full), (V{"3", "4", "5"}));

    TStatusLog partial(nullptr);
    partial.SetCapacity(5);
    partial.Add("1", prSuccess);
    partial.Add("2", prSuccess);
    partial.SetCapacity(3);
    EXPECT_EQ(Hosts(partial), (V{"1", "2"}));
    partial.Add("3", prSuccess);
    EXPECT_EQ(Hosts(partial), (V{"1", "2", "3"}));

    TStatusLog grown(nullptr);
    grown.SetCapacity(3);
    for (const char* h : {"1", "2", "3"})
        grown.Add(h, prSuccess);
    grown.SetCapacity(5);
    grown.Add("4", prSuccess);
    grown.Add("5", prSuccess);
    EXPECT_EQ(Hosts(grown), (V{"1", "2", "3", "4", "5"}));
    grown.SetCapacity(5);
    EXPECT_EQ(grown.Count(), 5);
    grown.SetCapacity(0);
    EXPECT_EQ(grown.Count(), 0);
}

TEST(StatusLog, ResizingAFullLogThatWrappedKeepsTheOrder) {
    TStatusLog log(nullptr);
    log.SetCapacity(3);
    for (const char* h : {"1", "2", "3", "4", "5"})
        log.Add(h, prSuccess);
    log.SetCapacity(4);
    log.Add("6", prSuccess);
    EXPECT_EQ(Hosts(log), (V{"3", "4", "5", "6"}));
    log.Add("7", prSuccess);
    log.SetCapacity(2);
    EXPECT_EQ(Hosts(log), (V{"6", "7"}));
}

TEST(StatusLog, ClearEmptiesButKeepsTheSlots) {
    TStatusLog log(nullptr);
    log.SetCapacity(3);
    int events = 0;
    log.OnLogEvent = [&](TObject*, const TDeviceStatusRecord&) { ++events; };
    for (const char* h : {"1", "2", "3"})
        log.Add(h, prSuccess);
    log.Clear();
    EXPECT_EQ(events, 3);
    EXPECT_EQ(log.Count(), 0);
    EXPECT_EQ(log.Capacity(), 3);
    log.Add("new", prTimedOut);
    EXPECT_EQ(Hosts(log), (V{"new"}));
}

TEST(StatusLog, IndexBeyondCapacityIsAnErrorSpareSlotIsEmpty) {
    TStatusLog log(nullptr);
    log.SetCapacity(2);
    log.Add("a", prSuccess);
    EXPECT_EQ(log.Records(1).Host, "");
    try {
        log.Records(2);
        FAIL() << "no error";
    } catch (const EListError& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (2)");
    }
    EXPECT_THROW(log.Records(-1), EListError);
}

TEST(StatusLog, HugeCapacityCostsOnlyWhatIsHeld) {
    TStatusLog log(nullptr);
    log.SetCapacity(2147483647); // any value a settings file may hold
    log.Add("a", prSuccess);
    EXPECT_EQ(log.Count(), 1);
}

TEST(StatusLog, RecordsAreStampedWithTheClock) {
    SetClock([] { return EncodeDateTime({2026, 12, 8, 14, 30, 5, 250}); });
    TStatusLog log(nullptr);
    log.SetCapacity(1);
    log.Add("a", prSuccess);
    SetClock(nullptr);
    const TDateTimeParts p = DecodeDateTime(log.Records(0).TimeStamp);
    EXPECT_EQ(p.Year, 2026);
    EXPECT_EQ(p.Day, 8);
    EXPECT_EQ(p.Hour, 14);
    EXPECT_EQ(p.Second, 5);
    EXPECT_EQ(p.Millisecond, 250);
}

TEST(DateTime, EncodeDecodeRoundTripAndKnownValues) {
    EXPECT_DOUBLE_EQ(EncodeDateTime({1899, 12, 30}), 0.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime({1900, 1, 1}), 2.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime({2000, 1, 1, 12}), 36526.5);
    for (const TDateTimeParts& p :
         {TDateTimeParts{2024, 2, 29, 23, 59, 59, 999}, TDateTimeParts{1970, 1, 1, 0, 0, 0, 0},
          TDateTimeParts{2100, 12, 31, 6, 7, 8, 9}}) {
        const TDateTimeParts back = DecodeDateTime(EncodeDateTime(p));
        EXPECT_EQ(back.Year, p.Year);
        EXPECT_EQ(back.Month, p.Month);
        EXPECT_EQ(back.Day, p.Day);
        EXPECT_EQ(back.Hour, p.Hour);
        EXPECT_EQ(back.Minute, p.Minute);
        EXPECT_EQ(back.Second, p.Second);
        EXPECT_EQ(back.Millisecond, p.Millisecond);
    }
}

} // namespace
