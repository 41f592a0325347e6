// bench_mainthread: the main window, headless, on a generated profile: how
// long starting the scan takes and how long the event loop stalls meanwhile,
// how many replies per second the main thread takes in, how much of its time
// that costs, and how long a reply waits between its worker's post and its
// row's update.
//
//   XDG_CONFIG_HOME=profile bench_mainthread [-w warmup_s] [-t window_s]
//
// The replies go through the program's own dispatcher class; the driver only
// wraps each call to time it. Prints key=value lines.

#include "bench/Offscreen.h"
#include "core/Dispatcher.h"
#include "core/SentrelScannerCM.h"
#include "core/history/HistoryStore.h"
#include "platform/Process.h"
#include "ui/MainFM.h"
#include "ui/QtDispatcher.h"
#include "ui/SentrelListView.h"

#include <QTimer>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Times every call from its post on a worker to its end on the main thread,
// where the row has been updated.
class TTimedDispatcher : public TDispatcher {
public:
    explicit TTimedDispatcher(TDispatcher& Inner) : FInner(Inner) {}

    void Post(std::function<void()> Call) override {
        const Clock::time_point posted = Clock::now();
        FInner.Post([this, posted, call = std::move(Call)] {
            call();
            Delays.push_back(Clock::now() - posted);
        });
    }

    // Main thread only.
    std::vector<Clock::duration> Delays;

private:
    TDispatcher& FInner;
};

struct Stats {
    double Max = 0;
    double P99 = 0;
};

Stats Summarise(std::vector<Clock::duration> delays) {
    Stats s;
    if (delays.empty())
        return s;
    std::sort(delays.begin(), delays.end());
    s.Max = Ms(delays.back());
    s.P99 = Ms(delays[delays.size() * 99 / 100]);
    return s;
}

} // namespace

int main(int argc, char** argv) {
    double warmup = 5, window = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "-w")
            warmup = std::atof(argv[i + 1]);
        else if (arg == "-t")
            window = std::atof(argv[i + 1]);
    }
    bench::RequireProfile("bench_mainthread");
    bench::RunHeadless();
    platform::RaiseOpenFileLimit();
    TApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    int errors = 0;
    bench::PrintErrors(errors);
    TMain::SetTrayAvailability(false);

    TQtDispatcher inner;
    TTimedDispatcher timed(inner);
    const auto built = Clock::now();
    TMain main(QStringList{});
    const double startMs = Ms(Clock::now() - built);
    main.Scanner->SetDispatcher(&timed);
    const int rows = main.List->Count();

    // Scanning starts once the window is up, timed here rather than left
    // to the profile; the window's first timer tick has shown it by then.
    // A heartbeat on the event loop while the scan starts: the longest gap
    // between its beats is the longest the loop stalled (at 1 ms resolution).
    double scanStartMs = 0, scanStartedMs = 0, stallMs = 0;
    Clock::time_point scanStarted, lastBeat;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    heartbeat.setInterval(1);
    QObject::connect(&heartbeat, &QTimer::timeout, &main, [&] {
        const Clock::time_point now = Clock::now();
        stallMs = std::max(stallMs, Ms(now - lastBeat));
        lastBeat = now;
        if (!main.Scanner->Starting()) {
            scanStartedMs = Ms(now - scanStarted);
            heartbeat.stop();
        }
    });
    QTimer::singleShot(500, &main, [&] {
        scanStarted = lastBeat = Clock::now();
        heartbeat.start();
        try {
            main.StartActionExecute();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "bench_mainthread: %s\n", e.what());
            ++errors;
        }
        scanStartMs = Ms(Clock::now() - scanStarted);
    });

    // Each row's first reply lights its lamp and moves the row: the burst
    // of the start, reported apart from the steady state after it.
    size_t firstRound = 0;
    Stats firstStats;
    double cpuAtStart = 0;
    Clock::time_point windowBegan;
    size_t repliesAtStart = 0;
    const int began = 500 + static_cast<int>(warmup * 1000);
    // The same heartbeat over the measured window: the longest the loop
    // stalls while replies, the list and the history's hand-over run.
    double steadyStallMs = 0;
    Clock::time_point lastSteadyBeat;
    QTimer steadyBeat;
    steadyBeat.setTimerType(Qt::PreciseTimer);
    steadyBeat.setInterval(1);
    QObject::connect(&steadyBeat, &QTimer::timeout, &main, [&] {
        const Clock::time_point now = Clock::now();
        steadyStallMs = std::max(steadyStallMs, Ms(now - lastSteadyBeat));
        lastSteadyBeat = now;
    });
    QTimer::singleShot(began, &main, [&] {
        lastSteadyBeat = Clock::now();
        steadyBeat.start();
        firstRound = std::min(timed.Delays.size(), static_cast<size_t>(rows));
        firstStats =
            Summarise({timed.Delays.begin(), timed.Delays.begin() + static_cast<long>(firstRound)});
        repliesAtStart = timed.Delays.size();
        windowBegan = Clock::now();
        cpuAtStart = ThreadCpuMs();
    });
    QTimer::singleShot(began + static_cast<int>(window * 1000), &main, [&] {
        steadyBeat.stop();
        const double cpu = ThreadCpuMs() - cpuAtStart;
        const double wall = Ms(Clock::now() - windowBegan);
        const std::vector<Clock::duration> steady(
            timed.Delays.begin() + static_cast<long>(repliesAtStart), timed.Delays.end());
        const Stats s = Summarise(steady);
        const auto stopBegan = Clock::now();
        try {
            main.StopActionExecute();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "bench_mainthread: %s\n", e.what());
            ++errors;
        }
        const double stopMs = Ms(Clock::now() - stopBegan);
        std::printf("rows=%d\n", rows);
        std::printf("window_start_ms=%.1f\n", startMs);
        std::printf("scan_start_ms=%.1f\n", scanStartMs);
        if (!heartbeat.isActive()) // else the start was still under way
            std::printf("scan_started_ms=%.1f\n", scanStartedMs);
        std::printf("start_stall_max_ms=%.1f\n", stallMs);
        std::printf("first_round_replies=%zu\n", firstRound);
        std::printf("first_round_max_delay_ms=%.1f\n", firstStats.Max);
        std::printf("first_round_p99_delay_ms=%.1f\n", firstStats.P99);
        std::printf("window_s=%.3f\n", wall / 1000);
        std::printf("replies=%zu\n", steady.size());
        std::printf("replies_per_s=%.0f\n", static_cast<double>(steady.size()) * 1000 / wall);
        std::printf("busy_pct=%.2f\n", cpu * 100 / wall);
        std::printf("max_delay_ms=%.2f\n", s.Max);
        std::printf("p99_delay_ms=%.2f\n", s.P99);
        std::printf("scan_stop_ms=%.1f\n", stopMs);
        std::printf("steady_stall_max_ms=%.1f\n", steadyStallMs);
        std::printf("history=%d\n", main.History() != nullptr && main.History()->Working() ? 1 : 0);
        std::printf("errors=%d\n", errors);
        std::fflush(stdout);
        main.EndSession();
    });
    return TApplication::exec();
}
