#include "core/AlertState.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double SecondsPerDay = 86400.0;

std::string Plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + (n == 1 ? one : many);
}

std::string TimeOfDay(TDateTime When) {
    const TDateTimeParts parts = DecodeDateTime(When);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", parts.Hour, parts.Minute, parts.Second);
    return text;
}

} // namespace

const char* AlertStateName(TAlertState State) {
    switch (State) {
    case TAlertState::Up:
        return "Up";
    case TAlertState::Down:
        return "Down";
    case TAlertState::Unknown:
        break;
    }
    return "Unknown";
}

TAlertThresholds TAlertThresholds::Clamped() const {
    return {std::clamp(DownAfter, Min, Max), std::clamp(UpAfter, Min, Max)};
}

std::optional<TAlertChange> TAlertTracker::Feed(TPingResult Result, TDateTime When,
                                                const TAlertThresholds& Thresholds) {
    const bool success = Result == prSuccess;
    if (FRun == 0 || success != FRunSuccess) {
        FRunSuccess = success;
        FRun = 0;
        FRunStart = When;
    }
    // Past the largest threshold the count no longer matters.
    if (FRun <= TAlertThresholds::Max)
        ++FRun;
    const TAlertState target = success ? TAlertState::Up : TAlertState::Down;
    const int needed = success ? Thresholds.UpAfter : Thresholds.DownAfter;
    if (FState == target || FRun < needed)
        return std::nullopt;
    TAlertChange change;
    change.OldState = FState;
    change.NewState = target;
    change.Result = Result;
    change.Since = FRunStart;
    change.OldSince = FSince;
    change.Silent = FState == TAlertState::Unknown;
    FState = target;
    FSince = FRunStart;
    return change;
}

void TAlertTracker::Reset() {
    *this = TAlertTracker();
}

std::string FormatDuration(double Seconds) {
    auto total = static_cast<long long>(std::llround(std::max(0.0, Seconds)));
    const long long days = total / 86400;
    const long long hours = total / 3600 % 24;
    const long long minutes = total / 60 % 60;
    const long long seconds = total % 60;
    const auto pair = [](long long a, const char* ua, long long b, const char* ub) {
        std::string text = std::to_string(a) + " " + ua;
        if (b != 0)
            text += " " + std::to_string(b) + " " + ub;
        return text;
    };
    if (days > 0)
        return pair(days, "d", hours, "h");
    if (hours > 0)
        return pair(hours, "h", minutes, "min");
    if (minutes > 0)
        return pair(minutes, "min", seconds, "s");
    return std::to_string(seconds) + " s";
}

std::string AlertMessage(const TAlertChange& Change) {
    switch (Change.NewState) {
    case TAlertState::Down:
        return Change.Host + " is down (" + Change.ResultText() + ") since " +
               TimeOfDay(Change.Since);
    case TAlertState::Up:
        if (Change.OldState == TAlertState::Down && Change.OldSince != 0)
            return Change.Host + " is up again after " +
                   FormatDuration((Change.Since - Change.OldSince) * SecondsPerDay);
        return Change.Host + " is up";
    case TAlertState::Unknown:
        break;
    }
    return Change.Host + " is not monitored";
}

std::string NameList(const std::vector<std::string>& Names, size_t Total, size_t Max) {
    std::string text;
    const size_t shown = std::min(Names.size(), Max);
    for (size_t i = 0; i < shown; ++i) {
        if (i > 0)
            text += ", ";
        text += Names[i];
    }
    if (Total > shown)
        text += " and " + std::to_string(Total - shown) + " more";
    return text;
}

std::string AlertSummary(const std::vector<TAlertChange>& Changes) {
    std::vector<std::string> down;
    std::vector<std::string> up;
    for (const TAlertChange& change : Changes) {
        if (change.NewState == TAlertState::Down)
            down.push_back(change.Host);
        else if (change.NewState == TAlertState::Up)
            up.push_back(change.Host);
    }
    std::string text;
    if (!down.empty())
        text =
            Plural(down.size(), " device down: ", " devices down: ") + NameList(down, down.size());
    if (!up.empty()) {
        if (!text.empty())
            text += "; " + std::to_string(up.size()) + " up again: ";
        else
            text = Plural(up.size(), " device up again: ", " devices up again: ");
        text += NameList(up, up.size());
    }
    return text;
}

std::string StateSummary(const std::vector<std::string>& DownHosts, int Down, int Monitored,
                         int Up) {
    if (Down > 0)
        return std::to_string(Down) + " of " + std::to_string(Monitored) +
               " down: " + NameList(DownHosts, static_cast<size_t>(Down));
    if (Monitored > 0 && Up == Monitored)
        return "All " + std::to_string(Monitored) + " up";
    return "0 of " + std::to_string(Monitored) + " down";
}
