// bench_startsave: the main window's start on a generated profile (the
// settings read from their file and the list built from them), then one save
// of the same settings, then the window's end (which saves once more).
//
//   XDG_CONFIG_HOME=profile bench_startsave
//
// Prints key=value lines.

#include "bench/Offscreen.h"
#include "core/SentrelSettingsCM.h"
#include "ui/MainFM.h"
#include "ui/SentrelListView.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

long PeakKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

template <typename F> double TimeMs(F&& Step) {
    const auto began = Clock::now();
    Step();
    return std::chrono::duration<double, std::milli>(Clock::now() - began).count();
}

} // namespace

int main(int argc, char** argv) {
    bench::RequireProfile("bench_startsave");
    bench::RunHeadless();
    TApplication app(argc, argv);
    int errors = 0;
    bench::PrintErrors(errors);
    TMain::SetTrayAvailability(false);

    TMain* main = nullptr;
    // The window's creation reads the settings and builds the list.
    const double start = TimeMs([&] { main = new TMain(QStringList{}); });
    const int rows = main->List->Count();
    const long startPeak = PeakKiB();
    const double load = TimeMs([&] { main->Settings->Load(); });
    const double rebuild = TimeMs([&] { main->List->Rebuild(); });
    const double save = TimeMs([&] { main->Settings->Save(); });
    // What a session manager waits for at logout: the save and the teardown.
    const double end = TimeMs([&] { delete main; });

    std::printf("devices=%d\n", rows);
    std::printf("start_ms=%.1f\n", start);
    std::printf("load_ms=%.1f\n", load);
    std::printf("list_ms=%.1f\n", rebuild);
    std::printf("save_ms=%.1f\n", save);
    std::printf("exit_ms=%.1f\n", end);
    std::printf("start_hwm_kib=%ld\n", startPeak);
    std::printf("hwm_kib=%ld\n", PeakKiB());
    std::printf("errors=%d\n", errors);
    return errors == 0 ? 0 : 1;
}
