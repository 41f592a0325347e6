// The latency graph of one device over a year, from a store holding many
// devices' history: the time from asking for the year to a painted widget
// (the read on the graph's own thread, its return to the window's thread,
// layout and paint). Headless; prints key=value lines for scripts/bench.
//
//   bench_graph --store PATH --host HOST [--runs N] [--range day|year]
//               [--shot FILE.png]

#include "bench/Offscreen.h"
#include "core/history/HistoryStore.h"
#include "ui/HistoryGraph.h"
#include "ui/HistoryStoreSource.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Usage() {
    std::fprintf(stderr, "usage: bench_graph --store PATH --host HOST [--runs N] "
                         "[--range day|year] [--shot FILE.png]\n");
    std::exit(2);
}

} // namespace

int main(int argc, char** argv) {
    std::string store;
    std::string host;
    std::string shot;
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
        else
            Usage();
        ++i;
    }
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
