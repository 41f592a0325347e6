#pragma once
// The command run on every alert change: a program of the administrator's
// choosing, started without a shell so that no host text can become a
// command, and supervised so that a hanging or failing program neither
// blocks the scanner nor floods the log.

#include "core/AlertState.h"
#include "framework/Exceptions.h"

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A command line that cannot be split into words.
class EAlertCommand : public Exception {
public:
    using Exception::Exception;
};

// The words of a command line, split as a POSIX shell splits them but with
// no expansion of any kind: blanks (space, tab, newline) separate words,
// '...' quotes literally, "..." quotes with a backslash escaping only
// " \ $ ` and newline, and a backslash outside quotes escapes the next
// character (a backslash before a newline joins the lines). $, `, ;, |, &,
// *, ~ and the rest are ordinary characters. Throws EAlertCommand for an
// unclosed quote or a line ending in a backslash.
std::vector<std::string> SplitCommandLine(const std::string& Line);

// Why the command line cannot run, as a sentence for the options dialog, or
// "" when it is empty or usable: it does not split, or its program is not
// found (looked up in PATH when it has no slash, as the runner does), is a
// folder or is not executable.
std::string CommandProblem(const std::string& Line);

// The time as the command receives it: ISO 8601 local time with its UTC
// offset, "2026-12-08T14:02:11+01:00"; "" for 0 (not decided).
std::string AlertTimeText(TDateTime When);

using TAlertCommandFailureEvent = std::function<void(const std::string& Message)>;

// Runs the command for each change on a supervisor thread of its own. The
// program gets the configured words followed by the host, the new state's
// name, the result text and the since-time, and the same in SENTREL_HOST,
// SENTREL_STATE, SENTREL_OLD_STATE, SENTREL_RESULT and SENTREL_SINCE. At most
// MaxRunning run at once; a run still going after Limit is killed with its
// whole process group. A failure (no start, a non-zero exit, a signal, the
// time limit, changes dropped from a full queue) goes to the system log and
// the failure handler once; the next is reported only after a run succeeds
// or the command changes.
class TAlertCommandRunner {
public:
    explicit TAlertCommandRunner(int MaxRunning = 4,
                                 std::chrono::milliseconds Limit = std::chrono::seconds(30),
                                 size_t MaxQueued = 100);
    // Stops the supervisor; see the definition for what becomes of running
    // commands.
    ~TAlertCommandRunner();
    TAlertCommandRunner(const TAlertCommandRunner&) = delete;
    TAlertCommandRunner& operator=(const TAlertCommandRunner&) = delete;

    // The command line; empty turns the command off. A line that does not
    // split runs nothing and is reported as a failure at the next change.
    void SetCommand(const std::string& Line);
    // Called on the supervisor thread, never with a lock held.
    void SetOnFailure(TAlertCommandFailureEvent Handler);

    // Queues a run for the change and returns; a silent change runs nothing.
    // When more than MaxQueued wait, the oldest is dropped: the newest
    // changes tell the current state.
    void Run(const TAlertChange& Change);

    // Test hook: true once nothing runs or waits and every failure has been
    // reported, false after Timeout.
    bool WaitIdle(std::chrono::milliseconds Timeout);

private:
    struct TJob {
        std::string Program; // as configured, for messages
        std::vector<std::string> Args;
        std::vector<std::string> Env; // NAME=value, replacing inherited ones
    };
    struct TChild {
        std::string Program;
        pid_t Pid = -1;
        int PidFd = -1; // -1 where pidfds are not available
        std::chrono::steady_clock::time_point Deadline;
        bool Killed = false;
    };

    void Supervise();
    void Start(TJob& Job, std::vector<TChild>& Children);
    // Reaps the children that have ended, kills those past their deadline.
    void Check(std::vector<TChild>& Children);
    void Ended(const TChild& Child, int Status);
    // A failure to report, unless one has been reported since the last success.
    void Fail(const std::string& Message);
    void Wake();

    const size_t FMaxRunning;
    const std::chrono::milliseconds FLimit;
    const size_t FMaxQueued;

    std::mutex FLock;
    std::condition_variable FIdle;
    std::string FLine;
    std::vector<std::string> FWords;
    std::string FLineProblem; // why FLine does not split
    TAlertCommandFailureEvent FOnFailure;
    std::deque<TJob> FQueue;
    std::vector<std::string> FPending; // failures found outside the supervisor
    size_t FDropped = 0;
    size_t FRunning = 0;
    bool FReported = false;
    bool FStopping = false;

    int FWakeFd = -1; // eventfd the supervisor sleeps on with its children's pidfds
    std::thread FSupervisor;
};
