#include "core/history/HistoryStore.h"

// On disk (SQLite, WAL journal), times as integer milliseconds since the Unix
// epoch in UTC, so that an hour is an hour across daylight-saving changes:
//
//   devices(id, host)          host bytes kept as a BLOB, byte for byte
//   journal(t, device, result, rtt)
//                              every probe as it comes, appended in time
//                              order: cheap to write 10,000 a second
//   chunks(device, start, end, data)
//                              raw probes packed per device, some four bytes
//                              a probe, a few minutes to a row; read by device
//   hourly(device, hour, probes, losses, minrtt, maxrtt, sumrtt)
//                              the hourly aggregates, kept per device in hour
//                              order so a year of one device is one range
//   changes(t, device, status)
//   meta(key, value)           "packs": how many times the journal was packed
//
// A device-ordered table written every second would touch 10,000 places in
// it a second; so probes go to the journal and to memory, and every few
// minutes the writer packs what memory holds into chunks, adds it to the
// hourly aggregates and empties the journal, all in one transaction. After a
// crash the journal is read back into memory. Readers merge the packed rows
// with what memory holds.

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <utility>

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int64_t MsPerHour = 3600000;
constexpr int64_t MsPerDay = 86400000;
constexpr int64_t Epoch = 25569; // days from 1899-12-30 to 1970-01-01
// A packed row covers at most this span, so a read by time need only look
// this far before its start.
constexpr int64_t MaxChunkSpan = int64_t{10} * 60000;
// Probes wait in memory (and in the journal) until packed: a minute's worth
// keeps the program's memory flat, at a little more per probe on disk.
constexpr auto PackEvery = std::chrono::minutes(1);
constexpr auto RetainEvery = std::chrono::hours(1);
constexpr auto ReopenEvery = std::chrono::minutes(1);
// Beyond this many records waiting for the writer (some 20 s of 10,000
// devices a second), the oldest go.
constexpr size_t MaxQueued = 200000;
// Memory packs early rather than growing past this many records.
constexpr size_t MaxPending = 4000000;
constexpr int RetainStep = 500; // devices per retention transaction
constexpr int WalFramesBeforeCheckpoint = 1000;
// Ranges longer than this come back in whole days (or several).
constexpr double HourlyUpToDays = 60;
constexpr double MaxCoarseBuckets = 400;

int64_t FloorDiv(int64_t A, int64_t B) {
    const int64_t q = A / B;
    return (A % B != 0 && (A < 0) != (B < 0)) ? q - 1 : q;
}

int64_t HourOf(int64_t Utc) {
    return FloorDiv(Utc, MsPerHour) * MsPerHour;
}

// Local time to UTC and back. Offsets change only on quarter hours, so each
// thread remembers the offset of the last quarter hour it converted.
constexpr int64_t Slot = int64_t{15} * 60000;

int64_t ToUtcMs(TDateTime Local) {
    const auto localMs = static_cast<int64_t>(std::llround((Local - Epoch) * MsPerDay));
    thread_local int64_t cachedSlot = INT64_MIN;
    thread_local int64_t cachedOffset = 0;
    const int64_t slot = FloorDiv(localMs, Slot);
    if (slot != cachedSlot) {
        const auto seconds = static_cast<time_t>(slot * (Slot / 1000));
        std::tm parts{};
        gmtime_r(&seconds, &parts); // the local wall time, read as fields
        parts.tm_isdst = -1;
        const time_t utc = mktime(&parts);
        cachedOffset = (static_cast<int64_t>(seconds) - static_cast<int64_t>(utc)) * 1000;
        cachedSlot = slot;
    }
    return localMs - cachedOffset;
}

// Built as EncodeDateTime builds it, so a time read back equals the one given.
TDateTime ToLocal(int64_t Utc) {
    thread_local int64_t cachedSlot = INT64_MIN;
    thread_local int64_t cachedOffset = 0;
    const int64_t slot = FloorDiv(Utc, Slot);
    if (slot != cachedSlot) {
        const auto seconds = static_cast<time_t>(slot * (Slot / 1000));
        std::tm parts{};
        localtime_r(&seconds, &parts);
        cachedOffset = static_cast<int64_t>(parts.tm_gmtoff) * 1000;
        cachedSlot = slot;
    }
    const int64_t local = Utc + cachedOffset;
    const int64_t days = FloorDiv(local, MsPerDay);
    return static_cast<double>(days + Epoch) +
           static_cast<double>(local - days * MsPerDay) / static_cast<double>(MsPerDay);
}

// Counts of one hour (or of a part of one).
struct TAgg {
    uint32_t Probes = 0, Losses = 0, Min = 0, Max = 0;
    uint64_t Sum = 0;

    uint32_t Successes() const { return Probes - Losses; }
    void Add(uint8_t Result, uint32_t Rtt) {
        ++Probes;
        if (Result != prSuccess) {
            ++Losses;
            return;
        }
        Min = Successes() == 1 ? Rtt : std::min(Min, Rtt);
        Max = std::max(Max, Rtt);
        Sum += Rtt;
    }
    void Merge(const TAgg& Other) {
        if (Other.Successes() > 0) {
            Min = Successes() > 0 ? std::min(Min, Other.Min) : Other.Min;
            Max = std::max(Max, Other.Max);
        }
        Probes += Other.Probes;
        Losses += Other.Losses;
        Sum += Other.Sum;
    }
};

void PutVarint(std::string& Out, uint64_t Value) {
    while (Value >= 0x80) {
        Out.push_back(static_cast<char>((Value & 0x7f) | 0x80));
        Value >>= 7;
    }
    Out.push_back(static_cast<char>(Value));
}

bool GetVarint(const unsigned char*& At, const unsigned char* End, uint64_t& Value) {
    Value = 0;
    for (int shift = 0; At < End && shift < 64; shift += 7) {
        const unsigned char byte = *At++;
        Value |= static_cast<uint64_t>(byte & 0x7f) << shift;
        if ((byte & 0x80) == 0)
            return true;
    }
    return false;
}

uint64_t ZigZag(int64_t Value) {
    return (static_cast<uint64_t>(Value) << 1) ^ static_cast<uint64_t>(Value >> 63);
}

int64_t UnZigZag(uint64_t Value) {
    return static_cast<int64_t>(Value >> 1) ^ -static_cast<int64_t>(Value & 1);
}

// Probes of one device not yet packed: per probe the time since the one
// before (zigzag varint), the result, and for a success the round trip.
struct TPiece {
    int64_t First = 0, Prev = 0, Min = 0, Max = 0;
    std::string Bytes;
    std::vector<std::pair<int64_t, TAgg>> Hours;

    bool Accepts(int64_t T) const {
        return Bytes.empty() || (std::max(Max, T) - std::min(Min, T) <= MaxChunkSpan);
    }
    void Add(int64_t T, uint8_t Result, uint32_t Rtt) {
        if (Bytes.empty())
            First = Prev = Min = Max = T;
        PutVarint(Bytes, ZigZag(T - Prev));
        Bytes.push_back(static_cast<char>(Result));
        if (Result == prSuccess)
            PutVarint(Bytes, Rtt);
        Prev = T;
        Min = std::min(Min, T);
        Max = std::max(Max, T);
        const int64_t hour = HourOf(T);
        auto it = std::find_if(Hours.begin(), Hours.end(),
                               [&](const auto& h) { return h.first == hour; });
        if (it == Hours.end())
            it = Hours.insert(Hours.end(), {hour, TAgg{}});
        it->second.Add(Result, Rtt);
    }
    // The row's bytes: where the first probe lies after the start, then the probes.
    std::string Packed() const {
        std::string out;
        PutVarint(out, static_cast<uint64_t>(First - Min));
        out += Bytes;
        return out;
    }
};

struct TRecord {
    int64_t T;
    uint8_t Result;
    uint32_t Rtt;
};

// Calls Each(record) for every probe of a packed row; false when the bytes
// do not read as probes.
template <class F> bool Unpack(int64_t Start, std::string_view Data, F&& Each) {
    const auto* at = reinterpret_cast<const unsigned char*>(Data.data());
    const unsigned char* end = at + Data.size();
    uint64_t value = 0;
    if (!GetVarint(at, end, value))
        return false;
    int64_t t = Start + static_cast<int64_t>(value);
    while (at < end) {
        if (!GetVarint(at, end, value) || at >= end)
            return false;
        t += UnZigZag(value);
        const uint8_t result = std::min<uint8_t>(*at++, prUnknown);
        uint32_t rtt = 0;
        if (result == prSuccess) {
            if (!GetVarint(at, end, value))
                return false;
            rtt = static_cast<uint32_t>(value);
        }
        Each(TRecord{t, result, rtt});
    }
    return true;
}

// A failed SQLite call, with the code that tells what went wrong.
class TSqlError : public std::runtime_error {
public:
    TSqlError(int Code, const std::string& Text) : std::runtime_error(Text), FCode(Code) {}
    int Code() const { return FCode; }
    int Primary() const { return FCode & 0xff; }

private:
    int FCode;
};

[[noreturn]] void Fail(sqlite3* Db, int Code) {
    throw TSqlError(Db ? sqlite3_extended_errcode(Db) : Code,
                    Db ? sqlite3_errmsg(Db) : sqlite3_errstr(Code));
}

void Exec(sqlite3* Db, const char* Sql) {
    if (const int rc = sqlite3_exec(Db, Sql, nullptr, nullptr, nullptr); rc != SQLITE_OK)
        Fail(Db, rc);
}

class TStatement {
public:
    TStatement() = default;
    TStatement(sqlite3* Db, const char* Sql) : FDb(Db) {
        if (const int rc =
                sqlite3_prepare_v3(Db, Sql, -1, SQLITE_PREPARE_PERSISTENT, &FStmt, nullptr);
            rc != SQLITE_OK)
            Fail(Db, rc);
    }
    ~TStatement() { sqlite3_finalize(FStmt); }
    TStatement(TStatement&& Other) noexcept
        : FDb(Other.FDb), FStmt(std::exchange(Other.FStmt, nullptr)) {}
    TStatement& operator=(TStatement&& Other) noexcept {
        std::swap(FDb, Other.FDb);
        std::swap(FStmt, Other.FStmt);
        return *this;
    }
    TStatement(const TStatement&) = delete;
    TStatement& operator=(const TStatement&) = delete;

    TStatement& Bind(int Index, int64_t Value) {
        sqlite3_bind_int64(FStmt, Index, Value);
        return *this;
    }
    TStatement& Bind(int Index, std::string_view Bytes) {
        sqlite3_bind_blob64(FStmt, Index, Bytes.data(), Bytes.size(), SQLITE_STATIC);
        return *this;
    }
    // True with a row; false once done (and ready to run again).
    bool Step() {
        const int rc = sqlite3_step(FStmt);
        if (rc == SQLITE_ROW)
            return true;
        sqlite3_reset(FStmt);
        if (rc != SQLITE_DONE)
            Fail(FDb, rc);
        return false;
    }
    void Run() {
        while (Step()) {
        }
    }
    void Reset() { sqlite3_reset(FStmt); }
    int64_t Int(int Column) const { return sqlite3_column_int64(FStmt, Column); }
    std::string_view Blob(int Column) const {
        const void* data = sqlite3_column_blob(FStmt, Column);
        const int size = sqlite3_column_bytes(FStmt, Column);
        return data ? std::string_view(static_cast<const char*>(data), static_cast<size_t>(size))
                    : std::string_view();
    }

private:
    sqlite3* FDb = nullptr;
    sqlite3_stmt* FStmt = nullptr;
};

// A connection closed with the object.
struct TConnection {
    sqlite3* Db = nullptr;
    TConnection() = default;
    ~TConnection() { sqlite3_close_v2(Db); }
    TConnection(const TConnection&) = delete;
    TConnection& operator=(const TConnection&) = delete;
};

const char* const Schema = R"(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS devices(id INTEGER PRIMARY KEY, host BLOB NOT NULL UNIQUE);
CREATE TABLE IF NOT EXISTS journal(t INTEGER NOT NULL, device INTEGER NOT NULL,
    result INTEGER NOT NULL, rtt INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS chunks(device INTEGER NOT NULL, start INTEGER NOT NULL,
    end INTEGER NOT NULL, data BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS chunks_device ON chunks(device, start);
CREATE TABLE IF NOT EXISTS hourly(device INTEGER NOT NULL, hour INTEGER NOT NULL,
    probes INTEGER NOT NULL, losses INTEGER NOT NULL, minrtt INTEGER NOT NULL,
    maxrtt INTEGER NOT NULL, sumrtt INTEGER NOT NULL, PRIMARY KEY(device, hour)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS changes(t INTEGER NOT NULL, device INTEGER NOT NULL,
    status INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS changes_device ON changes(device, t);
CREATE INDEX IF NOT EXISTS changes_time ON changes(t);
INSERT OR IGNORE INTO meta VALUES('packs', 0);
PRAGMA user_version = 1;
)";

// The kinds of trouble, each told once until writing works again.
enum TTrouble { tUnwritable, tLocked, tFull, tOther, tDropped, tTroubleCount };

std::string FolderOf(const std::string& Path) {
    const size_t slash = Path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : Path.substr(0, slash);
}

// Creates Folder and any missing parents, each mode 0700.
bool MakeFolders(const std::string& Folder) {
    struct stat status {};
    if (stat(Folder.c_str(), &status) == 0)
        return S_ISDIR(status.st_mode);
    const std::string parent = FolderOf(Folder);
    if (parent != Folder && !MakeFolders(parent))
        return false;
    return mkdir(Folder.c_str(), 0700) == 0 || errno == EEXIST;
}

std::string Stamp() {
    const TDateTimeParts p = DecodeDateTime(Now());
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d-%02d%02d%02d", p.Year, p.Month, p.Day, p.Hour,
                  p.Minute, p.Second);
    return text;
}

} // namespace

struct THistoryStore::TImpl {
    TImpl(std::string APath, THistoryLimits ALimits, TProblemEvent AOnProblem)
        : Path(std::move(APath)), Limits(ALimits), OnProblem(std::move(AOnProblem)) {
        Limits.RawDays = std::clamp(Limits.RawDays, 1, 3650);
        Limits.AggregateDays = std::clamp(Limits.AggregateDays, 1, 36500);
    }

    const std::string Path;
    THistoryLimits Limits;
    const TProblemEvent OnProblem;

    // The hand-over, shared with the window's thread.
    std::mutex QueueLock;
    std::condition_variable Wake, Flushed;
    std::vector<THistoryProbe> Probes, SpareProbes;
    std::vector<THistoryChange> Changes, SpareChanges;
    uint64_t Dropped = 0;
    uint64_t FlushAsked = 0, FlushDone = 0;
    bool Stopping = false;

    // Probes in the journal, not yet packed; shared with readers.
    mutable std::mutex PendingLock;
    std::unordered_map<int64_t, std::vector<TPiece>> Pending;
    int64_t Packs = 0; // meta "packs" that Pending goes with
    size_t PendingCount = 0;

    std::atomic<bool> IsWorking{false};
    mutable std::mutex ProblemLock;
    std::string ProblemText;

    // The writer's own.
    sqlite3* Db = nullptr;
    int FolderLock = -1;
    std::unordered_map<std::string, int64_t> Ids;
    std::vector<std::string> NewHosts; // given ids in the open transaction
    TStatement Begin, Commit, Rollback, FindDevice, AddDevice, AddJournal, AddChange, AddChunk,
        AddHour, ClearJournal, CountPack, NextDevices, TrimChunks, TrimHours, TrimChanges;
    bool Reported[tTroubleCount] = {};
    int WalFrames = 0;
    SteadyClock::time_point LastPack = SteadyClock::now(), LastOpen, NextRetain;
    int64_t RetainCursor = 0;
    bool MovingAside = false;

    std::thread Writer;

    void Run();
    void Open();
    void Close();
    void MoveAside();
    void Write(std::vector<THistoryProbe>& NewProbes, std::vector<THistoryChange>& NewChanges);
    void Pack();
    bool Retain(bool All);
    void Checkpoint();
    int64_t DeviceId(const std::string& Host);
    void Trouble(const TSqlError& Error, const char* Doing);
    void Report(TTrouble Kind, const std::string& Text);
    void Working();
    std::string Sentence(const std::string& What, const std::string& Then) const {
        return "The history " + What + " (" + Path + "). " + Then;
    }
    std::unique_ptr<TConnection> Reader() const;
};

void THistoryStore::TImpl::Report(TTrouble Kind, const std::string& Text) {
    if (Kind != tDropped)
        IsWorking = false;
    {
        std::lock_guard lock(ProblemLock);
        ProblemText = Text;
    }
    if (Reported[Kind])
        return;
    Reported[Kind] = true;
    if (OnProblem)
        OnProblem(Text);
}

void THistoryStore::TImpl::Working() {
    if (IsWorking)
        return;
    IsWorking = true;
    std::fill(std::begin(Reported), std::end(Reported), false);
    std::lock_guard lock(ProblemLock);
    ProblemText.clear();
}

void THistoryStore::TImpl::Trouble(const TSqlError& Error, const char* Doing) {
    switch (Error.Primary()) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        MoveAside();
        break;
    case SQLITE_FULL:
        Report(tFull, Sentence("could not be written: the disk is full",
                               "Monitoring goes on; history is kept again once there is room."));
        break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        Report(tLocked, Sentence("is locked by another program",
                                 "Monitoring goes on; history is kept again once it is free."));
        break;
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        Report(tUnwritable, Sentence("cannot be written", "Monitoring goes on without history."));
        Close();
        break;
    default:
        Report(tOther, Sentence(std::string("could not be ") + Doing + ": " + Error.what(),
                                "Monitoring goes on; the writer tries again."));
        break;
    }
}

void THistoryStore::TImpl::Open() {
    LastOpen = SteadyClock::now();
    const std::string folder = FolderOf(Path);
    struct stat status {};
    if (!MakeFolders(folder)) {
        Report(tUnwritable, Sentence("cannot be kept: its folder cannot be created (" +
                                         std::string(std::strerror(errno)) + ")",
                                     "Monitoring goes on without history."));
        return;
    }
    // One writer to a file: a second copy of the program goes on without.
    FolderLock = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (FolderLock >= 0 && flock(FolderLock, LOCK_EX | LOCK_NB) != 0) {
        close(std::exchange(FolderLock, -1));
        Report(tLocked, Sentence("is in use by another copy of the program",
                                 "Monitoring goes on without history."));
        return;
    }
    // Created here, so that it (and the journal files SQLite gives the same
    // mode) is the user's alone; no connection has it open yet.
    if (stat(Path.c_str(), &status) != 0) {
        const int fd = open(Path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) {
            const int error = errno;
            Close();
            if (error == ENOSPC || error == EDQUOT)
                Report(tFull, Sentence("could not be created: the disk is full",
                                       "Monitoring goes on; history is kept again once there "
                                       "is room."));
            else
                Report(tUnwritable,
                       Sentence("cannot be created (" + std::string(std::strerror(error)) + ")",
                                "Monitoring goes on without history."));
            return;
        }
        if (fd >= 0)
            close(fd);
    } else if ((status.st_mode & 077) != 0) {
        chmod(Path.c_str(), 0600);
    }
    try {
        if (const int rc = sqlite3_open_v2(Path.c_str(), &Db,
                                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
            rc != SQLITE_OK)
            Fail(Db, rc);
        sqlite3_extended_result_codes(Db, 1);
        sqlite3_busy_timeout(Db, 100);
        {
            TStatement mode(Db, "PRAGMA journal_mode=WAL");
            if (!mode.Step() || mode.Blob(0) != "wal")
                throw TSqlError(SQLITE_CANTOPEN, "no write-ahead journal");
            mode.Reset();
        }
        Exec(Db, "PRAGMA synchronous=NORMAL; PRAGMA journal_size_limit=67108864;");
        // Checkpoints run after commits, outside the lock readers take.
        sqlite3_wal_hook(
            Db,
            [](void* Self, sqlite3*, const char*, int Frames) {
                static_cast<TImpl*>(Self)->WalFrames = Frames;
                return SQLITE_OK;
            },
            this);
        Exec(Db, "BEGIN IMMEDIATE");
        Exec(Db, Schema);
        Exec(Db, "COMMIT");
        Begin = TStatement(Db, "BEGIN IMMEDIATE");
        Commit = TStatement(Db, "COMMIT");
        Rollback = TStatement(Db, "ROLLBACK");
        FindDevice = TStatement(Db, "SELECT id FROM devices WHERE host = ?1");
        AddDevice = TStatement(Db, "INSERT INTO devices(host) VALUES(?1)");
        AddJournal = TStatement(Db, "INSERT INTO journal VALUES(?1, ?2, ?3, ?4)");
        AddChange = TStatement(Db, "INSERT INTO changes VALUES(?1, ?2, ?3)");
        AddChunk = TStatement(Db, "INSERT INTO chunks VALUES(?1, ?2, ?3, ?4)");
        AddHour = TStatement(Db, R"(INSERT INTO hourly VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)
            ON CONFLICT(device, hour) DO UPDATE SET
              minrtt = CASE WHEN probes = losses THEN excluded.minrtt
                            WHEN excluded.probes = excluded.losses THEN minrtt
                            ELSE min(minrtt, excluded.minrtt) END,
              maxrtt = max(maxrtt, excluded.maxrtt),
              probes = probes + excluded.probes, losses = losses + excluded.losses,
              sumrtt = sumrtt + excluded.sumrtt)");
        ClearJournal = TStatement(Db, "DELETE FROM journal");
        CountPack = TStatement(Db, "UPDATE meta SET value = value + 1 WHERE key = 'packs'");
        NextDevices = TStatement(Db, "SELECT id FROM devices WHERE id > ?1 ORDER BY id LIMIT ?2");
        TrimChunks = TStatement(Db, "DELETE FROM chunks WHERE device = ?1 AND start < ?2");
        TrimHours = TStatement(Db, "DELETE FROM hourly WHERE device = ?1 AND hour < ?2");
        TrimChanges = TStatement(Db, "DELETE FROM changes WHERE rowid IN "
                                     "(SELECT rowid FROM changes WHERE t < ?1 LIMIT 5000)");

        // What the journal holds from before a crash goes back into memory.
        std::unordered_map<int64_t, std::vector<TPiece>> pending;
        size_t count = 0;
        TStatement packs(Db, "SELECT value FROM meta WHERE key = 'packs'");
        const int64_t packCount = packs.Step() ? packs.Int(0) : 0;
        packs.Reset();
        TStatement journal(Db, "SELECT t, device, result, rtt FROM journal ORDER BY rowid");
        while (journal.Step()) {
            auto& pieces = pending[journal.Int(1)];
            const int64_t t = journal.Int(0);
            if (pieces.empty() || !pieces.back().Accepts(t))
                pieces.emplace_back();
            pieces.back().Add(
                t, static_cast<uint8_t>(std::clamp<int64_t>(journal.Int(2), 0, prUnknown)),
                static_cast<uint32_t>(journal.Int(3)));
            ++count;
        }
        std::lock_guard lock(PendingLock);
        Pending = std::move(pending);
        PendingCount = count;
        Packs = packCount;
    } catch (const TSqlError& e) {
        Close();
        const int primary = e.Primary();
        if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB) {
            MoveAside();
            return;
        }
        if (primary == SQLITE_FULL)
            Report(tFull, Sentence("could not be opened: the disk is full",
                                   "Monitoring goes on; history is kept again once there is "
                                   "room."));
        else if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
            Report(tLocked,
                   Sentence("is locked by another program", "Monitoring goes on without history."));
        else
            Report(tUnwritable, Sentence(std::string("cannot be opened: ") + e.what(),
                                         "Monitoring goes on without history."));
        return;
    }
    Ids.clear();
    NextRetain = SteadyClock::now(); // trim at once
    RetainCursor = 0;
    Working();
}

void THistoryStore::TImpl::Close() {
    for (TStatement* s :
         {&Begin, &Commit, &Rollback, &FindDevice, &AddDevice, &AddJournal, &AddChange, &AddChunk,
          &AddHour, &ClearJournal, &CountPack, &NextDevices, &TrimChunks, &TrimHours, &TrimChanges})
        *s = TStatement();
    if (Db)
        sqlite3_close_v2(std::exchange(Db, nullptr));
    if (FolderLock >= 0)
        close(std::exchange(FolderLock, -1));
    Ids.clear();
    IsWorking = false;
}

void THistoryStore::TImpl::MoveAside() {
    Close();
    if (MovingAside)
        return; // the new file failed as well: the next attempt comes later
    MovingAside = true;
    {
        // What memory held was in the damaged file's journal.
        std::lock_guard lock(PendingLock);
        Pending.clear();
        PendingCount = 0;
    }
    std::string aside = Path + ".corrupt-" + Stamp();
    struct stat status {};
    for (int n = 2; stat(aside.c_str(), &status) == 0; ++n) // never over an earlier one
        aside = Path + ".corrupt-" + Stamp() + "-" + std::to_string(n);
    const bool moved = rename(Path.c_str(), aside.c_str()) == 0;
    rename((Path + "-wal").c_str(), (aside + "-wal").c_str());
    unlink((Path + "-shm").c_str());
    if (!moved) {
        MovingAside = false;
        Report(tUnwritable, Sentence("is damaged and cannot be moved aside",
                                     "Monitoring goes on without history."));
        return;
    }
    if (OnProblem)
        OnProblem(Sentence("was damaged and has been moved aside to " + aside,
                           "A new history begins; monitoring goes on."));
    Open();
    MovingAside = false;
}

int64_t THistoryStore::TImpl::DeviceId(const std::string& Host) {
    if (const auto it = Ids.find(Host); it != Ids.end())
        return it->second;
    int64_t id = 0;
    if (FindDevice.Bind(1, Host).Step()) {
        id = FindDevice.Int(0);
        FindDevice.Reset();
    } else {
        AddDevice.Bind(1, Host).Run();
        id = sqlite3_last_insert_rowid(Db);
        NewHosts.push_back(Host);
    }
    Ids.emplace(Host, id);
    return id;
}

void THistoryStore::TImpl::Write(std::vector<THistoryProbe>& NewProbes,
                                 std::vector<THistoryChange>& NewChanges) {
    if (!Db || (NewProbes.empty() && NewChanges.empty()))
        return;
    struct TRow {
        int64_t Device, T;
        uint8_t Result;
        uint32_t Rtt;
    };
    std::vector<TRow> rows;
    rows.reserve(NewProbes.size());
    NewHosts.clear();
    try {
        Begin.Run();
        try {
            for (const THistoryProbe& p : NewProbes) {
                const TRow row{DeviceId(p.Host), ToUtcMs(p.Time), static_cast<uint8_t>(p.Result),
                               p.Result == prSuccess ? p.RoundTripMs : 0};
                AddJournal.Bind(1, row.T).Bind(2, row.Device).Bind(3, row.Result).Bind(4, row.Rtt);
                AddJournal.Run();
                rows.push_back(row);
            }
            for (const THistoryChange& c : NewChanges) {
                AddChange.Bind(1, ToUtcMs(c.Time)).Bind(2, DeviceId(c.Host)).Bind(3, c.Status);
                AddChange.Run();
            }
            Commit.Run();
        } catch (const TSqlError&) {
            if (Db && sqlite3_get_autocommit(Db) == 0)
                Rollback.Run();
            throw;
        }
    } catch (const TSqlError& e) {
        for (const std::string& host : NewHosts)
            Ids.erase(host);
        Trouble(e, "written");
        return;
    }
    Working();
    std::lock_guard lock(PendingLock);
    for (const TRow& row : rows) {
        auto& pieces = Pending[row.Device];
        if (pieces.empty() || !pieces.back().Accepts(row.T))
            pieces.emplace_back();
        pieces.back().Add(row.T, row.Result, row.Rtt);
    }
    PendingCount += rows.size();
}

void THistoryStore::TImpl::Pack() {
    LastPack = SteadyClock::now();
    if (!Db || Pending.empty())
        return;
    try {
        Begin.Run();
        try {
            for (const auto& [device, pieces] : Pending) {
                for (const TPiece& piece : pieces) {
                    const std::string data = piece.Packed();
                    AddChunk.Bind(1, device).Bind(2, piece.Min).Bind(3, piece.Max).Bind(4, data);
                    AddChunk.Run();
                    for (const auto& [hour, agg] : piece.Hours) {
                        AddHour.Bind(1, device).Bind(2, hour).Bind(3, agg.Probes);
                        AddHour.Bind(4, agg.Losses).Bind(5, agg.Min).Bind(6, agg.Max);
                        AddHour.Bind(7, static_cast<int64_t>(agg.Sum)).Run();
                    }
                }
            }
            ClearJournal.Run();
            CountPack.Run();
            Commit.Run();
        } catch (const TSqlError&) {
            if (Db && sqlite3_get_autocommit(Db) == 0)
                Rollback.Run();
            throw;
        }
    } catch (const TSqlError& e) {
        Trouble(e, "packed"); // memory and journal still hold it all
        return;
    }
    Working();
    std::lock_guard lock(PendingLock);
    Pending.clear();
    PendingCount = 0;
    ++Packs;
}

// One step of trimming past the limits (or all of it); true when done.
bool THistoryStore::TImpl::Retain(bool All) {
    if (!Db)
        return true;
    const int64_t now = ToUtcMs(Now());
    const int64_t rawCut = now - int64_t{Limits.RawDays} * MsPerDay - MaxChunkSpan;
    const int64_t aggCut = now - int64_t{Limits.AggregateDays} * MsPerDay;
    const auto transaction = [&](const auto& Body) {
        Begin.Run();
        try {
            Body();
            Commit.Run();
        } catch (const TSqlError&) {
            if (Db && sqlite3_get_autocommit(Db) == 0)
                Rollback.Run();
            throw;
        }
    };
    try {
        do {
            std::vector<int64_t> devices;
            NextDevices.Bind(1, RetainCursor).Bind(2, RetainStep);
            while (NextDevices.Step())
                devices.push_back(NextDevices.Int(0));
            if (devices.empty()) {
                // Status changes are few: their index by time serves.
                int removed = 0;
                do {
                    transaction([&] {
                        TrimChanges.Bind(1, aggCut).Run();
                        removed = sqlite3_changes(Db);
                    });
                } while (removed > 0);
                RetainCursor = 0;
                return true;
            }
            transaction([&] {
                for (const int64_t device : devices) {
                    TrimChunks.Bind(1, device).Bind(2, rawCut).Run();
                    TrimHours.Bind(1, device).Bind(2, HourOf(aggCut)).Run();
                }
            });
            RetainCursor = devices.back();
        } while (All);
    } catch (const TSqlError& e) {
        RetainCursor = 0;
        Trouble(e, "trimmed");
        return true;
    }
    return false;
}

void THistoryStore::TImpl::Checkpoint() {
    if (Db && WalFrames >= WalFramesBeforeCheckpoint) {
        sqlite3_wal_checkpoint_v2(Db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        WalFrames = 0;
    }
}

void THistoryStore::TImpl::Run() {
    Open();
    auto lastRound = SteadyClock::now();
    bool retaining = true;
    for (;;) {
        uint64_t flushTarget = 0;
        uint64_t dropped = 0;
        bool stopping = false;
        {
            std::unique_lock lock(QueueLock);
            Wake.wait_until(lock, lastRound + std::chrono::seconds(1),
                            [&] { return Stopping || FlushAsked > FlushDone; });
            std::swap(Probes, SpareProbes);
            std::swap(Changes, SpareChanges);
            flushTarget = FlushAsked;
            stopping = Stopping;
            dropped = std::exchange(Dropped, 0);
        }
        lastRound = SteadyClock::now();
        const bool all = stopping || flushTarget > FlushDone;
        if (Db == nullptr && (all || lastRound - LastOpen >= ReopenEvery))
            Open();
        if (dropped > 0)
            Report(tDropped,
                   Sentence("fell behind and lost " + std::to_string(dropped) + " records",
                            "Monitoring goes on."));
        Write(SpareProbes, SpareChanges);
        SpareProbes.clear();
        SpareChanges.clear();
        if (all || lastRound - LastPack >= PackEvery || PendingCount >= MaxPending)
            Pack();
        if (all || lastRound >= NextRetain)
            retaining = true;
        if (retaining && Retain(all)) {
            retaining = false;
            NextRetain = lastRound + RetainEvery;
        }
        Checkpoint();
        if (stopping)
            break;
        {
            std::lock_guard lock(QueueLock);
            FlushDone = flushTarget;
        }
        Flushed.notify_all();
    }
    if (Db)
        sqlite3_wal_checkpoint_v2(Db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    Close();
    {
        std::lock_guard lock(QueueLock);
        FlushDone = UINT64_MAX;
    }
    Flushed.notify_all();
}

std::unique_ptr<TConnection> THistoryStore::TImpl::Reader() const {
    auto reader = std::make_unique<TConnection>();
    if (sqlite3_open_v2(Path.c_str(), &reader->Db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK)
        return nullptr;
    sqlite3_busy_timeout(reader->Db, 200);
    return reader;
}

THistoryLimits THistoryStore::Limits() const {
    return FImpl->Limits;
}

THistoryStore::THistoryStore(std::string Path, THistoryLimits Limits, TProblemEvent OnProblem)
    : FImpl(std::make_unique<TImpl>(std::move(Path), Limits, std::move(OnProblem))) {
    FImpl->Writer = std::thread([this] { FImpl->Run(); });
}

THistoryStore::~THistoryStore() {
    {
        std::lock_guard lock(FImpl->QueueLock);
        FImpl->Stopping = true;
    }
    FImpl->Wake.notify_all();
    FImpl->Writer.join();
}

std::string THistoryStore::DefaultPath() {
    std::string state;
    if (const char* env = std::getenv("XDG_STATE_HOME"); env && env[0] == '/') {
        state = env;
    } else {
        std::string home;
        if (const char* h = std::getenv("HOME"); h != nullptr && h[0] != '\0')
            home = h;
        else if (const passwd* user = getpwuid(getuid()); user && user->pw_dir)
            home = user->pw_dir;
        state = home + "/.local/state";
    }
    return state + "/Kestrava/Sentrel/history.sqlite";
}

void THistoryStore::AddProbe(THistoryProbe Probe) {
    std::lock_guard lock(FImpl->QueueLock);
    auto& queue = FImpl->Probes;
    if (queue.size() >= MaxQueued) {
        queue.erase(queue.begin(), queue.begin() + MaxQueued / 4);
        FImpl->Dropped += MaxQueued / 4;
    }
    queue.push_back(std::move(Probe));
}

void THistoryStore::AddChange(THistoryChange Change) {
    std::lock_guard lock(FImpl->QueueLock);
    auto& queue = FImpl->Changes;
    if (queue.size() >= MaxQueued) {
        queue.erase(queue.begin(), queue.begin() + MaxQueued / 4);
        FImpl->Dropped += MaxQueued / 4;
    }
    queue.push_back(std::move(Change));
}

namespace {

// The device id of Host, or 0; then the pieces in memory, then a read
// transaction on Db that a pack committed meanwhile shows.
std::vector<TPiece> Snapshot(sqlite3* Db, const std::string& Host, int64_t& Device,
                             std::mutex& Lock,
                             const std::unordered_map<int64_t, std::vector<TPiece>>& Pending,
                             const int64_t& Packs) {
    TStatement find(Db, "SELECT id FROM devices WHERE host = ?1");
    Device = find.Bind(1, Host).Step() ? find.Int(0) : 0;
    find.Reset();
    if (Device == 0)
        return {};
    std::vector<TPiece> pieces;
    int64_t packs = 0;
    {
        std::lock_guard lock(Lock);
        if (const auto it = Pending.find(Device); it != Pending.end())
            pieces = it->second;
        packs = Packs;
    }
    Exec(Db, "BEGIN");
    TStatement onDisk(Db, "SELECT value FROM meta WHERE key = 'packs'");
    if (onDisk.Step() && onDisk.Int(0) > packs)
        pieces.clear(); // packed since: the file has them
    onDisk.Reset();
    return pieces;
}

} // namespace

std::vector<THistoryProbe> THistoryStore::Probes(const std::string& Host, TDateTime From,
                                                 TDateTime To) const {
    std::vector<TRecord> records;
    const int64_t from = ToUtcMs(From);
    const int64_t to = ToUtcMs(To);
    const auto keep = [&](const TRecord& r) {
        if (r.T >= from && r.T < to)
            records.push_back(r);
    };
    try {
        const auto reader = FImpl->Reader();
        if (!reader)
            return {};
        int64_t device = 0;
        const std::vector<TPiece> pieces =
            Snapshot(reader->Db, Host, device, FImpl->PendingLock, FImpl->Pending, FImpl->Packs);
        if (device == 0)
            return {};
        TStatement chunks(reader->Db, "SELECT start, data FROM chunks WHERE device = ?1 AND "
                                      "start >= ?2 AND start < ?3 AND end >= ?4");
        chunks.Bind(1, device).Bind(2, from - MaxChunkSpan).Bind(3, to).Bind(4, from);
        while (chunks.Step())
            Unpack(chunks.Int(0), chunks.Blob(1), keep);
        for (const TPiece& piece : pieces)
            if (piece.Min < to && piece.Max >= from)
                Unpack(piece.Min, piece.Packed(), keep);
        Exec(reader->Db, "COMMIT");
    } catch (const TSqlError&) {
        // What could be read is returned; a damaged file is the writer's to tell of.
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const TRecord& a, const TRecord& b) { return a.T < b.T; });
    std::vector<THistoryProbe> out;
    out.reserve(records.size());
    for (const TRecord& r : records)
        out.push_back({ToLocal(r.T), Host, static_cast<TPingResult>(r.Result), r.Rtt});
    return out;
}

std::vector<THistoryBucket> THistoryStore::Buckets(const std::string& Host, TDateTime From,
                                                   TDateTime To) const {
    std::map<int64_t, TAgg> hours;
    const int64_t from = HourOf(ToUtcMs(From));
    const int64_t to = ToUtcMs(To);
    try {
        const auto reader = FImpl->Reader();
        if (!reader)
            return {};
        int64_t device = 0;
        const std::vector<TPiece> pieces =
            Snapshot(reader->Db, Host, device, FImpl->PendingLock, FImpl->Pending, FImpl->Packs);
        if (device == 0)
            return {};
        TStatement rows(reader->Db, "SELECT hour, probes, losses, minrtt, maxrtt, sumrtt FROM "
                                    "hourly WHERE device = ?1 AND hour >= ?2 AND hour < ?3");
        rows.Bind(1, device).Bind(2, from).Bind(3, to);
        while (rows.Step()) {
            TAgg agg;
            agg.Probes = static_cast<uint32_t>(rows.Int(1));
            agg.Losses = std::min(agg.Probes, static_cast<uint32_t>(rows.Int(2)));
            agg.Min = static_cast<uint32_t>(rows.Int(3));
            agg.Max = static_cast<uint32_t>(rows.Int(4));
            agg.Sum = static_cast<uint64_t>(rows.Int(5));
            hours[rows.Int(0)].Merge(agg);
        }
        Exec(reader->Db, "COMMIT");
        for (const TPiece& piece : pieces)
            for (const auto& [hour, agg] : piece.Hours)
                if (hour >= from && hour < to)
                    hours[hour].Merge(agg);
    } catch (const TSqlError&) {
        return {};
    }
    const auto bucket = [](TDateTime Start, const TAgg& agg) {
        return THistoryBucket{Start,
                              agg.Probes,
                              agg.Losses,
                              agg.Min,
                              agg.Max,
                              agg.Successes() > 0 ? static_cast<double>(agg.Sum) /
                                                        static_cast<double>(agg.Successes())
                                                  : 0.0};
    };
    std::vector<THistoryBucket> out;
    if (To - From <= HourlyUpToDays) {
        for (const auto& [hour, agg] : hours)
            out.push_back(bucket(ToLocal(hour), agg));
        return out;
    }
    // Whole local days (several when the range is long), from From's midnight.
    const double width = std::max(1.0, std::ceil((To - From) / MaxCoarseBuckets));
    const double origin = std::floor(From);
    std::map<int64_t, TAgg> days;
    for (const auto& [hour, agg] : hours)
        days[static_cast<int64_t>(std::floor((ToLocal(hour) - origin) / width))].Merge(agg);
    for (const auto& [index, agg] : days)
        out.push_back(bucket(origin + static_cast<double>(index) * width, agg));
    return out;
}

std::vector<THistoryChange> THistoryStore::Changes(const std::string& Host, TDateTime From,
                                                   TDateTime To) const {
    std::vector<THistoryChange> out;
    try {
        const auto reader = FImpl->Reader();
        if (!reader)
            return {};
        TStatement rows(reader->Db,
                        Host.empty()
                            ? "SELECT c.t, d.host, c.status FROM changes c JOIN devices d ON "
                              "d.id = c.device WHERE c.t >= ?2 AND c.t < ?3 ORDER BY c.t"
                            : "SELECT c.t, d.host, c.status FROM changes c JOIN devices d ON "
                              "d.id = c.device WHERE d.host = ?1 AND c.t >= ?2 AND c.t < ?3 "
                              "ORDER BY c.t");
        if (!Host.empty())
            rows.Bind(1, Host);
        rows.Bind(2, ToUtcMs(From)).Bind(3, ToUtcMs(To));
        while (rows.Step())
            out.push_back(
                {ToLocal(rows.Int(0)), std::string(rows.Blob(1)),
                 static_cast<TPingResult>(std::clamp<int64_t>(rows.Int(2), 0, prUnknown))});
    } catch (const TSqlError&) {
    }
    return out;
}

bool THistoryStore::Working() const {
    return FImpl->IsWorking;
}

std::string THistoryStore::Problem() const {
    std::lock_guard lock(FImpl->ProblemLock);
    return FImpl->ProblemText;
}

void THistoryStore::Flush() {
    std::unique_lock lock(FImpl->QueueLock);
    const uint64_t ticket = ++FImpl->FlushAsked;
    FImpl->Wake.notify_all();
    FImpl->Flushed.wait(lock, [&] { return FImpl->FlushDone >= ticket; });
}

double THistoryStore::WriterCpuSeconds() const {
    clockid_t clock{};
    timespec used{};
    if (pthread_getcpuclockid(FImpl->Writer.native_handle(), &clock) != 0 ||
        clock_gettime(clock, &used) != 0)
        return 0;
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}
