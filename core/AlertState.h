#pragma once
// Whether a device is up or down, decided from a run of results rather than
// from one reply, so that a single lost echo neither alerts nor clears an
// alert. Beside it the texts that tell an operator about a change.

#include "framework/DateTime.h"
#include "net/qsPingTypes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class TAlertState : uint8_t {
    Unknown, // not scanning, or not yet decided since the start
    Up,
    Down,
};

// "Unknown", "Up", "Down".
const char* AlertStateName(TAlertState State);

// How many results in a row decide a state.
struct TAlertThresholds {
    int DownAfter = 3; // results that are not success
    int UpAfter = 1;   // successes
    static constexpr int Min = 1;
    static constexpr int Max = 20;
    // Both kept within Min..Max, so that a stored value cannot turn alerting off.
    TAlertThresholds Clamped() const;
};

// One decision: a device that was in OldState is in NewState since Since.
struct TAlertChange {
    std::string Host;
    TAlertState OldState = TAlertState::Unknown;
    TAlertState NewState = TAlertState::Unknown;
    // The result that decided it.
    TPingResult Result = prUnknown;
    // When the new state began: the first result of the run that decided it.
    TDateTime Since = 0;
    // When the old state began; 0 when it was not decided.
    TDateTime OldSince = 0;
    // The first decision after a start: shown, never announced.
    bool Silent = false;

    const char* ResultText() const { return PingResultText[Result]; }
};

// The state of one device, fed with its results in order.
class TAlertTracker {
public:
    // A change when this result decides one; the first decision after a
    // Reset is marked silent.
    std::optional<TAlertChange> Feed(TPingResult Result, TDateTime When,
                                     const TAlertThresholds& Thresholds);
    // Back to Unknown, as when scanning stops; the next decision is silent.
    void Reset();

    TAlertState State() const { return FState; }
    // When the current state began; 0 while Unknown.
    TDateTime Since() const { return FSince; }

private:
    TAlertState FState = TAlertState::Unknown;
    TDateTime FSince = 0;
    // The current run of like results: its length and when it began.
    bool FRunSuccess = false;
    int FRun = 0;
    TDateTime FRunStart = 0;
};

// "4 min 12 s", "2 h 5 min", "3 d 4 h", "12 s": the two largest units.
std::string FormatDuration(double Seconds);
// "printer-2F is down (Timed Out) since 14:02:11",
// "printer-2F is up again after 4 min 12 s".
std::string AlertMessage(const TAlertChange& Change);
// "12 devices down: a, b, c, d, e and 7 more"; with both kinds,
// "3 devices down: a, b, c; 2 up again: d, e". Hosts in the order given.
std::string AlertSummary(const std::vector<TAlertChange>& Changes);
// The tray tooltip's second line while scanning: "3 of 30 down: printer-2F,
// 10.0.0.7, core-sw" (DownHosts holds the first names, Down counts them
// all), "All 30 up", or "0 of 30 down" while some are undecided.
std::string StateSummary(const std::vector<std::string>& DownHosts, int Down, int Monitored,
                         int Up);
// Lists at most Max names, then "and N more".
std::string NameList(const std::vector<std::string>& Names, size_t Total, size_t Max = 5);
