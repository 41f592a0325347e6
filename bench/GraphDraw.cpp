// The latency graph of one device over a year, from a store holding many
// devices' history: the time from asking for the year to a painted widget
// (the read on the graph's own thread, its return to the window's thread,
// layout and paint). Headless; prints key=value lines for scripts/bench.
//
//   bench_graph --store PATH --host HOST [--runs N] [--range day|year]
//               [--shot FILE.png]
//   bench_graph --generate PATH [--devices N]
//
// --generate writes a store of N devices (127.1.x.y, 250 to a block) with a
// year of hourly aggregates each, a probe a minute, straight into the
// store's tables: handing a year of probes over one by one would take days.

#include "bench/Offscreen.h"
#include "core/history/HistoryStore.h"
#include "ui/HistoryGraph.h"
#include "ui/HistoryStoreSource.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Usage() {
    std::fprintf(stderr, "usage: bench_graph --store PATH --host HOST [--runs N] "
                         "[--range day|year] [--shot FILE.png]\n"
                         "       bench_graph --generate PATH [--devices N]\n");
    std::exit(2);
}

int Generate(const std::string& Path, int Devices) {
    {
        // The store makes its file and tables itself.
        THistoryStore made(Path);
        made.Flush(); // the file is opened on the store's thread
        if (!made.Working()) {
            std::fprintf(stderr, "bench_graph: cannot make a store at %s: %s\n", Path.c_str(),
                         made.Problem().c_str());
            return 1;
        }
    }
    sqlite3* db = nullptr;
    if (sqlite3_open(Path.c_str(), &db) != SQLITE_OK) {
        std::fprintf(stderr, "bench_graph: %s\n", sqlite3_errmsg(db));
        sqlite3_close(db);
        return 1;
    }
    sqlite3_exec(db, "PRAGMA synchronous=OFF; BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* device = nullptr;
    sqlite3_stmt* hour = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO devices(id, host) VALUES(?1, ?2)", -1, &device, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO hourly VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)", -1, &hour,
                       nullptr);
    constexpr int64_t MsPerHour = 3'600'000;
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    const int64_t last = (now / MsPerHour) * MsPerHour;
    const int64_t first = last - (int64_t{365} * 24 * MsPerHour);
    uint64_t seed = 88172645463325252ULL;
    const auto random = [&seed](int Below) { // xorshift: cheap, repeatable
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        return static_cast<int>(seed % static_cast<uint64_t>(Below));
    };
    for (int d = 1; d <= Devices; ++d) {
        const std::string host =
            "127.1." + std::to_string((d - 1) / 250) + "." + std::to_string(((d - 1) % 250) + 1);
        sqlite3_bind_int(device, 1, d);
        sqlite3_bind_blob(device, 2, host.data(), static_cast<int>(host.size()), SQLITE_STATIC);
        sqlite3_step(device);
        sqlite3_reset(device);
        const int base = 1 + random(20);
        for (int64_t t = first; t <= last; t += MsPerHour) {
            const int losses = random(50) == 0 ? random(60) : (random(8) == 0 ? 1 : 0);
            const int replies = 60 - losses;
            const int low = base + random(2);
            const int high = low + random(3 * base + 10);
            sqlite3_bind_int(hour, 1, d);
            sqlite3_bind_int64(hour, 2, t);
            sqlite3_bind_int(hour, 3, 60);
            sqlite3_bind_int(hour, 4, losses);
            sqlite3_bind_int(hour, 5, low);
            sqlite3_bind_int(hour, 6, high);
            sqlite3_bind_int64(hour, 7, static_cast<int64_t>(replies) * (low + high) / 2);
            if (sqlite3_step(hour) != SQLITE_DONE) {
                std::fprintf(stderr, "bench_graph: %s\n", sqlite3_errmsg(db));
                return 1;
            }
            sqlite3_reset(hour);
        }
        if (d % 500 == 0)
            sqlite3_exec(db, "COMMIT; BEGIN", nullptr, nullptr, nullptr);
    }
    sqlite3_finalize(device);
    sqlite3_finalize(hour);
    const bool ok = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    std::printf("devices=%d\nhours=%d\n", Devices,
                static_cast<int>((last - first) / MsPerHour) + 1);
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::string store;
    std::string host;
    std::string shot;
    std::string generate;
    int devices = 10000;
    int runs = 7;
    TGraphRange range = TGraphRange::Year;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value == nullptr)
            Usage();
        if (arg == "--store")
            store = value;
        else if (arg == "--host")
            host = value;
        else if (arg == "--runs")
            runs = std::max(1, std::atoi(value));
        else if (arg == "--range" && std::strcmp(value, "day") == 0)
            range = TGraphRange::Day;
        else if (arg == "--range" && std::strcmp(value, "year") == 0)
            range = TGraphRange::Year;
        else if (arg == "--shot")
            shot = value;
        else if (arg == "--generate")
            generate = value;
        else if (arg == "--devices")
            devices = std::max(1, std::atoi(value));
        else
            Usage();
        ++i;
    }
    if (!generate.empty())
        return Generate(generate, devices);
    struct stat info {};
    if (store.empty() || host.empty() || stat(store.c_str(), &info) != 0) {
        std::fprintf(stderr, "bench_graph: no store at \"%s\" (or no --host)\n", store.c_str());
        return 2;
    }

    bench::RunHeadless();
    QApplication app(argc, argv);
    int errors = 0;
    bench::PrintErrors(errors);
    const THistoryStore history(store);
    THistoryStoreSource source(history);

    // Each run a new graph, as each opening of a device's log window is.
    std::vector<double> total;
    std::vector<double> read;
    int points = 0;
    int marks = 0;
    for (int run = 0; run < runs; ++run) {
        THistoryGraph graph;
        graph.resize(660, 340);
        graph.SetRange(range); // no source yet: nothing is read
        graph.show();
        QApplication::processEvents();

        QElapsedTimer timer;
        timer.start();
        graph.SetSource(&source, host);
        while (graph.Loading())
            QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const double loaded = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        const QPixmap picture = graph.grab();
        total.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        read.push_back(loaded);
        points = graph.LinePoints();
        marks = graph.LossMarks();
        if (run == 0 && !shot.empty())
            picture.save(QString::fromStdString(shot));
    }
    if (points == 0) {
        std::fprintf(stderr, "bench_graph: the store has no records of %s%s%s\n", host.c_str(),
                     history.Working() ? "" : ": ", history.Problem().c_str());
        return 1;
    }
    const double first = total.front();
    std::sort(total.begin(), total.end());
    std::sort(read.begin(), read.end());
    std::printf("runs=%d\nfirst_ms=%.2f\nmedian_ms=%.2f\nmax_ms=%.2f\nread_median_ms=%.2f\n"
                "points=%d\nloss_marks=%d\nerrors=%d\n",
                runs, first, total[total.size() / 2], total.back(), read[read.size() / 2], points,
                marks, errors);
    return errors == 0 ? 0 : 1;
}
