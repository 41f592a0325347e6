#pragma once
// The rounds of the soak run, each as an operator would go through them:
// start scanning, let it run, look at the system log and a device's log,
// confirm the options (the device list is rebuilt and scanning resumes),
// stop. After each stop the process must be back at its levels.

#include "tests/soak/ProcessLevels.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

class TMain;
class TOptionsForm;

struct TRoundFigures {
    int Round = 0;
    double AtSeconds = 0; // since the run began, when the round ended
    long AnswerMs = -1;   // from Start until every row shows "Connected"
    long RebuildMs = -1;  // from the Options command until every row answers again
    long StopMs = -1;     // the Stop command itself
    int SystemLogLines = 0;
    int DeviceLogLines = 0;
    TProcessLevels Scanning; // while every device is being probed
    TProcessLevels Stopped;  // after Stop
    bool WarmingUp = false;  // memory not yet held to a level
    std::string Faults;
};

class TSoakRounds {
public:
    TSoakRounds(TMain& Main, TOptionsForm& Options, int Devices, std::FILE* Out);

    // Runs rounds until Duration has passed (at least four); true when every
    // round went through and came back to its levels.
    bool Run(std::chrono::milliseconds Duration);
    void PrintSummary() const;

    // Each error report of the program counts as a fault of its round.
    void ErrorReported(const std::string& Text);

private:
    TRoundFigures RunRound(int Round);
    long WaitAllConnected();
    int ShowLogViewer(bool DeviceLog);
    void PrintHeader() const;
    void PrintRound(const TRoundFigures& Figures) const;

    TMain& FMain;
    TOptionsForm& FOptions;
    int FDevices;
    std::FILE* FOut;
    std::chrono::steady_clock::time_point FBegin;
    TLevelGuard FGuard;
    TProcessLevels FAtStart;
    int FWarmupRounds = 0;
    std::vector<TRoundFigures> FRounds;
    std::vector<std::string> FReports;
};
