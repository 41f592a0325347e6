// bench_history: what keeping history costs, and how fast a year of it reads.
//
//   bench_history [-n devices] [-t seconds] [-d folder]
//       feeds n devices (10,000) one probe a second each for t seconds (20)
//       through AddProbe from this thread, spread over the second in 10 ms
//       slices as replies come, with a few status changes; then prints the
//       writer thread's CPU, the longest hand-over, and the bytes a device
//       adds to the file per day.
//   bench_history --generate FILE [-n devices]
//       writes a store holding a year of hourly aggregates for n devices
//       (directly, in the store's schema) and seven days of raw probes, one a
//       second, for device "dev0" (through the store).
//   bench_history --read FILE
//       times Buckets() for a year of single devices of that store.
//
// Prints key=value lines.

#include "core/history/HistoryStore.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::string Host(int i) {
    return "10." + std::to_string(i / 65536 % 256) + "." + std::to_string(i / 256 % 256) + "." +
           std::to_string(i % 256);
}

// A single-value query, or -1.
double Query(sqlite3* Db, const char* Sql) {
    sqlite3_stmt* stmt = nullptr;
    double value = -1;
    if (sqlite3_prepare_v2(Db, Sql, -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        value = sqlite3_column_double(stmt, 0);
    sqlite3_finalize(stmt);
    return value;
}

int Write(int Devices, int Seconds, std::string Folder) {
    const bool own = Folder.empty();
    if (own) {
        char pattern[] = "/tmp/sentrel-bench-history-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return 1;
        Folder = pattern;
    }
    const std::string path = Folder + "/history.sqlite";
    std::vector<std::string> hosts;
    for (int i = 0; i < Devices; ++i)
        hosts.push_back(Host(i));
    int problems = 0;
    double cpu = 0, cpuBeforePack = 0, longest = 0, longestSlice = 0;
    {
        THistoryStore store(path, {}, [&](const std::string& Text) {
            ++problems;
            std::printf("problem=%s\n", Text.c_str());
        });
        store.Flush();
        const double cpu0 = store.WriterCpuSeconds();
        constexpr int Slices = 100; // per second
        const auto start = Clock::now();
        int next = 0;
        for (int slice = 0; slice < Seconds * Slices; ++slice) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(slice * 1000 / Slices));
            const auto sliceStart = Clock::now();
            const TDateTime now = Now();
            const int count =
                (slice % Slices + 1) * Devices / Slices - (slice % Slices) * Devices / Slices;
            for (int i = 0; i < count; ++i, next = (next + 1) % Devices) {
                const auto before = Clock::now();
                store.AddProbe({now, hosts[static_cast<size_t>(next)],
                                next % 97 == 0 ? prTimedOut : prSuccess,
                                static_cast<uint32_t>(next % 50 + 1)});
                longest = std::max(longest, Ms(Clock::now() - before));
            }
            if (slice % 10 == 0) // ten status changes a second
                store.AddChange({now, hosts[static_cast<size_t>(slice % Devices)], prTimedOut});
            longestSlice = std::max(longestSlice, Ms(Clock::now() - sliceStart));
        }
        cpuBeforePack = store.WriterCpuSeconds() - cpu0;
        store.Flush(); // commits the last second and packs the window
        cpu = store.WriterCpuSeconds() - cpu0;
    } // checkpointed and closed
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    // Packed rows hold a minute of a device each; a short window packs
    // fewer probes to a row, so the rows' own cost counts as at 1440 a day.
    const double rawPages = Query(db, "SELECT sum(pgsize) FROM dbstat WHERE name IN "
                                      "('chunks', 'chunks_device')");
    const double blobBytes = Query(db, "SELECT sum(length(data)) FROM chunks");
    const double chunkRows = Query(db, "SELECT count(*) FROM chunks");
    const double probes = static_cast<double>(Devices) * Seconds;
    const double raw =
        chunkRows > 0 ? blobBytes / probes * 86400 + (rawPages - blobBytes) / chunkRows * 1440 : -1;
    const double hourly = Query(db, "SELECT sum(pgsize) FROM dbstat WHERE name = 'hourly'");
    const double hourRows = Query(db, "SELECT count(*) FROM hourly");
    const double used = Query(db, "SELECT (SELECT page_count FROM pragma_page_count()) - "
                                  "(SELECT freelist_count FROM pragma_freelist_count())") *
                        Query(db, "PRAGMA page_size");
    sqlite3_close(db);
    std::error_code ignored;
    const auto fileSize = std::filesystem::file_size(path, ignored);
    const double perDay = 86400.0 / Seconds / Devices;
    std::printf("devices=%d\nseconds=%d\nproblems=%d\n", Devices, Seconds, problems);
    std::printf("writer_cpu_pct=%.2f\n", cpu / Seconds * 100);
    std::printf("writer_cpu_before_pack_pct=%.2f\n", cpuBeforePack / Seconds * 100);
    std::printf("handover_max_ms=%.3f\nslice_max_ms=%.3f\n", longest, longestSlice);
    std::printf("file_bytes=%ju\nused_bytes=%.0f\n", static_cast<uintmax_t>(fileSize), used);
    std::printf("raw_bytes_per_device_day=%.0f\n", raw);
    std::printf("raw_bytes_per_probe=%.2f\n", raw / 86400);
    std::printf("window_bytes_per_device_day=%.0f\n", rawPages * perDay);
    // Aggregates grow by 24 rows a device a day, whatever the probing rate.
    std::printf("hourly_bytes_per_device_day=%.0f\n", hourRows > 0 ? hourly / hourRows * 24 : -1);
    if (own)
        std::filesystem::remove_all(Folder, ignored);
    return 0;
}

int Generate(const std::string& Path, int Devices) {
    const TDateTime now = Now();
    {
        // The raw week of dev0, and the schema, through the store itself.
        THistoryStore store(Path, {7, 400});
        for (int s = 0; s < 7 * 86400; ++s) {
            store.AddProbe({now - 7 + s / 86400.0, "dev0", s % 101 == 0 ? prTimedOut : prSuccess,
                            static_cast<uint32_t>(s % 40 + 1)});
            if (s % 100000 == 0)
                store.Flush();
        }
        store.Flush();
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(Path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        return 1;
    sqlite3_exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=OFF; BEGIN", nullptr, nullptr,
                 nullptr);
    sqlite3_stmt* device = nullptr;
    sqlite3_stmt* hour = nullptr;
    sqlite3_prepare_v2(db, "INSERT OR IGNORE INTO devices(host) VALUES(?1)", -1, &device, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT OR REPLACE INTO hourly VALUES((SELECT id FROM devices WHERE host "
                       "= ?1), ?2, 3600, ?3, ?4, ?5, ?6)",
                       -1, &hour, nullptr);
    const auto nowMs = static_cast<int64_t>((now - 25569) * 86400000.0);
    const int64_t last = nowMs / 3600000 * 3600000;
    constexpr int Hours = 366 * 24;
    for (int d = 0; d < Devices; ++d) {
        const std::string host = d == 0 ? "dev0" : Host(d);
        sqlite3_bind_blob(device, 1, host.data(), static_cast<int>(host.size()), SQLITE_STATIC);
        sqlite3_step(device);
        sqlite3_reset(device);
        sqlite3_bind_blob(hour, 1, host.data(), static_cast<int>(host.size()), SQLITE_STATIC);
        for (int h = 0; h < Hours; ++h) {
            const int losses = (h * 7 + d) % 13;
            sqlite3_bind_int64(hour, 2, last - static_cast<int64_t>(Hours - h) * 3600000);
            sqlite3_bind_int(hour, 3, losses);
            sqlite3_bind_int(hour, 4, 1 + h % 5);
            sqlite3_bind_int(hour, 5, 40 + h % 60);
            sqlite3_bind_int64(hour, 6, static_cast<int64_t>(3600 - losses) * 12);
            sqlite3_step(hour);
            sqlite3_reset(hour);
        }
        if (d % 200 == 199)
            sqlite3_exec(db, "COMMIT; BEGIN", nullptr, nullptr, nullptr);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_finalize(device);
    sqlite3_finalize(hour);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    std::printf("generated_devices=%.0f\ngenerated_hours=%.0f\n",
                Query(db, "SELECT count(*) FROM devices"),
                Query(db, "SELECT count(*) FROM hourly"));
    sqlite3_close(db);
    std::error_code ignored;
    std::printf("generated_bytes=%ju\n",
                static_cast<uintmax_t>(std::filesystem::file_size(Path, ignored)));
    return 0;
}

int Read(const std::string& Path) {
    THistoryStore store(Path, {7, 400});
    const TDateTime now = Now();
    std::vector<double> times;
    size_t buckets = 0;
    // The first read of each device finds its pages on disk (or in the page
    // cache), as a graph opened for it would.
    for (int i = 0; i < 21; ++i) {
        const std::string host = i == 0 ? "dev0" : Host(i * 457);
        const auto start = Clock::now();
        buckets = store.Buckets(host, now - 365, now).size();
        times.push_back(Ms(Clock::now() - start));
    }
    const auto start = Clock::now();
    const size_t week = store.Probes("dev0", now - 7, now).size();
    const double weekMs = Ms(Clock::now() - start);
    std::sort(times.begin(), times.end());
    std::printf("year_buckets=%zu\nyear_read_median_ms=%.2f\nyear_read_max_ms=%.2f\n", buckets,
                times[times.size() / 2], times.back());
    std::printf("week_probes=%zu\nweek_read_ms=%.1f\n", week, weekMs);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    int devices = 10000, seconds = 20;
    std::string folder, generate, read;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "-n")
            devices = std::max(1, std::atoi(argv[i + 1]));
        else if (flag == "-t")
            seconds = std::max(1, std::atoi(argv[i + 1]));
        else if (flag == "-d")
            folder = argv[i + 1];
        else if (flag == "--generate")
            generate = argv[i + 1];
        else if (flag == "--read")
            read = argv[i + 1];
    }
    if (!generate.empty())
        return Generate(generate, devices);
    if (!read.empty())
        return Read(read);
    return Write(devices, seconds, folder);
}
