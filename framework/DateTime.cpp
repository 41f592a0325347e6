#include "framework/DateTime.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <mutex>

namespace {

constexpr double MsPerDay = 86400000.0;

std::mutex gClockLock;
std::function<TDateTime()> gClock;

// Days from 1899-12-30 to the civil date (proleptic Gregorian).
long DaysFromCivil(int y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 + 25569; // 25569: 1899-12-30 to 1970-01-01
}

void CivilFromDays(long z, int& y, int& m, int& d) {
    z += 719468 - 25569;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const long doe = z - era * 146097;
    const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

} // namespace

TDateTime EncodeDateTime(const TDateTimeParts& p) {
    const double time = ((p.Hour * 60.0 + p.Minute) * 60.0 + p.Second) * 1000.0 + p.Millisecond;
    return static_cast<double>(DaysFromCivil(p.Year, p.Month, p.Day)) + time / MsPerDay;
}

TDateTimeParts DecodeDateTime(TDateTime Value) {
    // Round to whole milliseconds first, so 23:59:59.9995 does not become a
    // day with 86400 seconds.
    const double totalMs = std::round(Value * MsPerDay);
    long days = static_cast<long>(std::floor(totalMs / MsPerDay));
    long ms = static_cast<long>(totalMs - static_cast<double>(days) * MsPerDay);
    TDateTimeParts p;
    CivilFromDays(days, p.Year, p.Month, p.Day);
    p.Millisecond = static_cast<int>(ms % 1000);
    ms /= 1000;
    p.Second = static_cast<int>(ms % 60);
    ms /= 60;
    p.Minute = static_cast<int>(ms % 60);
    p.Hour = static_cast<int>(ms / 60);
    return p;
}

TDateTime Now() {
    {
        std::lock_guard<std::mutex> lock(gClockLock);
        if (gClock)
            return gClock();
    }
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    const auto seconds = static_cast<std::time_t>(ms.count() / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    TDateTimeParts p;
    p.Year = local.tm_year + 1900;
    p.Month = local.tm_mon + 1;
    p.Day = local.tm_mday;
    p.Hour = local.tm_hour;
    p.Minute = local.tm_min;
    p.Second = local.tm_sec;
    p.Millisecond = static_cast<int>(ms.count() % 1000);
    return EncodeDateTime(p);
}

void SetClock(std::function<TDateTime()> Clock) {
    std::lock_guard<std::mutex> lock(gClockLock);
    gClock = std::move(Clock);
}

std::tm CalendarTime(TDateTime Value) {
    const TDateTimeParts parts = DecodeDateTime(Value);
    std::tm time{};
    time.tm_year = parts.Year - 1900;
    time.tm_mon = parts.Month - 1;
    time.tm_mday = parts.Day;
    time.tm_hour = parts.Hour;
    time.tm_min = parts.Minute;
    time.tm_sec = parts.Second;
    time.tm_isdst = -1;
    return time;
}
