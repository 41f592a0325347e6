#pragma once
// Date and time as a count of days since 30 December 1899: the integer part
// is the date, the fraction the time of day. Now() reads the local clock
// unless a test has set a clock of its own.

#include <ctime>
#include <functional>

using TDateTime = double;

struct TDateTimeParts {
    int Year = 1899, Month = 12, Day = 30;
    int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

TDateTime Now();
// The calendar fields of a local time, as mktime takes them (whether summer
// time is in force left for mktime to find).
std::tm CalendarTime(TDateTime Value);
TDateTime EncodeDateTime(const TDateTimeParts& Parts);
TDateTimeParts DecodeDateTime(TDateTime Value);

// Test hook: a clock to read instead of the system's; empty restores it.
void SetClock(std::function<TDateTime()> Clock);
