#pragma once
// Every probe and every status change of every device, kept on disk across
// restarts: raw probes for RawDays, hourly aggregates for AggregateDays. The
// window's thread only hands records over; a writer thread of the store's
// own commits them in batches, at most one transaction a second. A store
// that cannot be written never stops monitoring: it says so once and goes
// on without (or with a new file where the old one was corrupt).

#include "framework/DateTime.h"
#include "net/qsPingTypes.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct THistoryProbe {
    TDateTime Time = 0;
    std::string Host;
    TPingResult Result = prSuccess;
    uint32_t RoundTripMs = 0; // successes only
};

struct THistoryChange {
    TDateTime Time = 0;
    std::string Host;
    TPingResult Status = prSuccess;
};

// One hour (or, when read for long ranges, one coarser bucket) of a device.
struct THistoryBucket {
    TDateTime Start = 0;
    uint32_t Probes = 0;
    uint32_t Losses = 0;
    uint32_t MinRtt = 0, MaxRtt = 0;
    double AvgRtt = 0;
};

struct THistoryLimits {
    int RawDays = 7;
    int AggregateDays = 400;
};

class THistoryStore {
public:
    // Called on the writer thread with a plain sentence, once per problem.
    using TProblemEvent = std::function<void(const std::string& Text)>;

    // Opens (creating) the file at Path, mode 0600, WAL journal, on the
    // writer thread. Never throws: problems go to OnProblem once each and
    // the store goes on without a file.
    explicit THistoryStore(std::string Path, THistoryLimits Limits = {},
                           TProblemEvent OnProblem = {});
    ~THistoryStore(); // commits what was handed over, then joins the writer
    THistoryStore(const THistoryStore&) = delete;
    THistoryStore& operator=(const THistoryStore&) = delete;

    // $XDG_STATE_HOME/Kestrava/Sentrel/history.sqlite (~/.local/state/... when unset).
    static std::string DefaultPath();

    // Hand-over from the window's thread: cheap, never blocks on the disk.
    void AddProbe(THistoryProbe Probe);
    void AddChange(THistoryChange Change);

    // Reads, from any thread, on a connection of their own (WAL: readers never
    // wait for the writer). Times are TDateTime, ranges [From, To); what was
    // handed over shows once the writer has committed it (within a second).
    // Probes come in time order.
    std::vector<THistoryProbe> Probes(const std::string& Host, TDateTime From, TDateTime To) const;
    // Hours that hold probes, in time order, each starting on a (UTC) hour
    // that starts in [From rounded down to the hour, To). Ranges over 60 days
    // come in local days from From's midnight instead, and over 400 days in
    // runs of several days, so that a range never gives more than about 400
    // buckets. Hours without probes give no bucket; MinRtt, MaxRtt and AvgRtt
    // are over the successes (0 without any).
    std::vector<THistoryBucket> Buckets(const std::string& Host, TDateTime From,
                                        TDateTime To) const;
    // Empty Host: every device's.
    std::vector<THistoryChange> Changes(const std::string& Host, TDateTime From,
                                        TDateTime To) const;

    // The limits in force, kept within their bounds.
    THistoryLimits Limits() const;

    // Whether records are being kept, and if not, why (for the window to show).
    bool Working() const;
    std::string Problem() const;

    // Test hook: waits until everything handed over is committed, packed and
    // trimmed to the limits by the clock Now() reads.
    void Flush();

    // CPU time the writer thread has used, in seconds (for measuring).
    double WriterCpuSeconds() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};
