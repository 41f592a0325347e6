// bench_alertburst: the main window, headless, with every device of a
// generated profile up, then all of them failing at once: how long the event
// loop stalls until all are down and the notifications have gone, how long
// until all are down, and how many notifications the operator is given.
//
//   XDG_CONFIG_HOME=profile ip netns exec NS bench_alertburst -n NS [-u up_s] [-d down_s]
//
// The failure is this network namespace's loopback taken down, so the driver
// runs only inside the namespace it is named (-n), never in the machine's own. Notifications go where the
// program sends them: the session bus when a notification service is on it
// (counted from outside), else a fallback hook that counts them here.
// Prints key=value lines.

#include "bench/Offscreen.h"
#include "core/SentrelScannerCM.h"
#include "core/SentrelSettingsCM.h"
#include "platform/Process.h"
#include "ui/AlertNotifier.h"
#include "ui/MainFM.h"
#include "ui/SentrelListView.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QTimer>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

bool SameFile(const std::string& A, const std::string& B) {
    struct stat a {}, b {};
    return stat(A.c_str(), &a) == 0 && stat(B.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// Only the named namespace may lose its loopback: the driver must be in it,
// and it must not be init's (when init's can be seen).
bool InNamespace(const std::string& Name) {
    if (Name.empty() || Name.find('/') != std::string::npos || Name[0] == '.')
        return false;
    const std::string own = "/proc/self/ns/net";
    return SameFile(own, "/run/netns/" + Name) && !SameFile(own, "/proc/1/ns/net");
}

// Runs "ip link set lo down" off the main thread, so that starting a process
// is not counted as a stall; true once it succeeded.
void TakeLoopbackDown(std::atomic<int>& Status) {
    std::thread([&Status] {
        char ip[] = "ip", link[] = "link", set[] = "set", lo[] = "lo", down[] = "down";
        char* args[] = {ip, link, set, lo, down, nullptr};
        pid_t pid = 0;
        int status = -1;
        if (posix_spawnp(&pid, "ip", nullptr, nullptr, args, environ) == 0)
            waitpid(pid, &status, 0);
        Status = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }).detach();
}

} // namespace

int main(int argc, char** argv) {
    double upLimit = 60, downLimit = 30;
    std::string space;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "-u")
            upLimit = std::atof(argv[i + 1]);
        else if (arg == "-d")
            downLimit = std::atof(argv[i + 1]);
        else if (arg == "-n")
            space = argv[i + 1];
    }
    bench::RequireProfile("bench_alertburst");
    if (!InNamespace(space)) {
        std::fprintf(stderr, "bench_alertburst: run it with -n NS inside that network namespace"
                             " (ip netns exec NS): it takes the namespace's loopback down\n");
        return 2;
    }
    bench::RunHeadless();
    platform::RaiseOpenFileLimit();
    TApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    int errors = 0;
    bench::PrintErrors(errors);
    TMain::SetTrayAvailability(false);

    TMain main(QStringList{});
    const int rows = main.List->Count();

    // Asked here, before anything is timed; the notifier asks nothing at start.
    const QDBusConnection bus = QDBusConnection::sessionBus();
    const bool service =
        bus.isConnected() && bus.interface() != nullptr &&
        bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.Notifications"));
    int hookNotices = 0;
    QString firstNotice;
    main.Notifier()->SetFallbackHook([&](const QString&, const QString& text) {
        if (hookNotices++ == 0)
            firstNotice = text;
    });

    // Every decision, timed from the failure, then handed to the window.
    Clock::time_point failed;
    bool failing = false;
    int announced = 0;
    double firstDownMs = -1, lastDownMs = -1;
    const TAlertChangeEvent window = main.Scanner->OnAlertChange;
    main.Scanner->OnAlertChange = [&](TDeviceScanner* sender, const TAlertChange& change) {
        if (failing && change.NewState == TAlertState::Down) {
            const double at = Ms(Clock::now() - failed);
            if (firstDownMs < 0)
                firstDownMs = at;
            lastDownMs = at;
        }
        if (!change.Silent)
            ++announced;
        window(sender, change);
    };

    // The heartbeat: the longest gap between its beats is the longest the
    // loop stalled, at 1 ms resolution; where in the burst it fell is kept
    // too.
    double stallMs = 0, stallAtMs = 0, allDownMs = -1;
    int stallsOver50 = 0, downAtStall = 0, upBefore = 0;
    std::atomic<int> ipStatus{-1};
    Clock::time_point lastBeat;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    heartbeat.setInterval(1);

    const auto finish = [&](const char* failure) {
        heartbeat.stop();
        std::printf("rows=%d\n", rows);
        std::printf("notify_path=%s\n", service ? "dbus" : "hook");
        std::printf("problems_first=%d\n", main.Settings->Alerts.ProblemsFirst ? 1 : 0);
        std::printf("up_before=%d\n", upBefore);
        std::printf("down=%d\n", main.Scanner->AlertCount(TAlertState::Down));
        std::printf("announced_changes=%d\n", announced);
        std::printf("ip_status=%d\n", ipStatus.load());
        if (allDownMs >= 0)
            std::printf("all_down_ms=%.1f\n", allDownMs);
        std::printf("first_down_ms=%.1f\n", firstDownMs);
        std::printf("last_down_ms=%.1f\n", lastDownMs);
        std::printf("stall_max_ms=%.1f\n", stallMs);
        std::printf("stall_at_ms=%.1f\n", stallAtMs);
        std::printf("down_at_stall=%d\n", downAtStall);
        std::printf("stalls_over_50ms=%d\n", stallsOver50);
        std::printf("hook_notifications=%d\n", hookNotices);
        if (!firstNotice.isEmpty())
            std::printf("hook_first=%s\n", firstNotice.left(120).toUtf8().constData());
        if (failure != nullptr)
            std::printf("failed=%s\n", failure);
        std::printf("errors=%d\n", errors);
        std::fflush(stdout);
        main.EndSession();
    };

    // After all are down, the gathering that took the last change still has
    // up to its full time to go, and the bus its call.
    constexpr double FlushedAfterMs = 1500;
    QObject::connect(&heartbeat, &QTimer::timeout, &main, [&] {
        const Clock::time_point now = Clock::now();
        const double gap = Ms(now - lastBeat);
        if (gap > stallMs) {
            stallMs = gap;
            stallAtMs = Ms(now - failed);
            downAtStall = main.Scanner->AlertCount(TAlertState::Down);
        }
        if (gap > 50)
            ++stallsOver50;
        lastBeat = now;
        const double since = Ms(now - failed);
        if (allDownMs < 0 && main.Scanner->AlertCount(TAlertState::Down) == rows)
            allDownMs = since;
        if (allDownMs >= 0 && since >= allDownMs + FlushedAfterMs)
            finish(nullptr);
        else if (allDownMs < 0 && since > downLimit * 1000)
            finish("not every device went down");
    });

    QTimer::singleShot(500, &main, [&] {
        try {
            main.StartActionExecute();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "bench_alertburst: %s\n", e.what());
            ++errors;
        }
    });
    // Waits for every device to be up, then fails them all.
    const Clock::time_point began = Clock::now();
    QTimer poll;
    poll.setInterval(50);
    QObject::connect(&poll, &QTimer::timeout, &main, [&] {
        if (main.Scanner->Active() && main.Scanner->AlertCount(TAlertState::Up) == rows &&
            !main.Scanner->Starting()) {
            poll.stop();
            upBefore = main.Scanner->AlertCount(TAlertState::Up);
            failed = lastBeat = Clock::now();
            failing = true;
            heartbeat.start();
            TakeLoopbackDown(ipStatus);
        } else if (Ms(Clock::now() - began) > upLimit * 1000) {
            poll.stop();
            finish("not every device came up");
        }
    });
    poll.start();
    return TApplication::exec();
}
