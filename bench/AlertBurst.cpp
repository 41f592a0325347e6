// bench_alertburst: the main window, headless, with every device of a
// generated profile up, then all of them failing at once: how long the event
// loop stalls until all are down and the notifications have gone, how long
// until all are down, and how many notifications the operator is given.
//
//   XDG_CONFIG_HOME=profile ip netns exec NS bench_alertburst -n NS [-u up_s] [-d down_s]
//
// The failure is this network namespace's loopback taken down, so the driver
// runs only inside the namespace it is named (-n), never in the machine's
// own. Notifications go where the program sends them: the session bus when a
// notification service is on it (counted from outside), else a fallback hook
// that counts them here.
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
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

bool SameFile(const std::string& A, const std::string& B) {
    struct stat a {};
    struct stat b {};
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
// is not counted as a stall; Status gets its exit status.
void TakeLoopbackDown(std::atomic<int>& Status) {
    std::thread([&Status] {
        std::string words[] = {"ip", "link", "set", "lo", "down"};
        char* args[] = {words[0].data(), words[1].data(), words[2].data(),
                        words[3].data(), words[4].data(), nullptr};
        pid_t pid = 0;
        int status = -1;
        if (posix_spawnp(&pid, "ip", nullptr, nullptr, args, environ) == 0)
            waitpid(pid, &status, 0);
        Status = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }).detach();
}

struct TOptions {
    double UpLimit = 60;   // s for every device to come up
    double DownLimit = 30; // s from the failure for every device to go down
    std::string Namespace;
};

TOptions ReadOptions(int argc, char** argv) {
    TOptions options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "-u")
            options.UpLimit = std::atof(argv[i + 1]);
        else if (arg == "-d")
            options.DownLimit = std::atof(argv[i + 1]);
        else if (arg == "-n")
            options.Namespace = argv[i + 1];
    }
    return options;
}

// After all are down, the gathering that took the last change still has up
// to its full time to go, and the bus its call.
constexpr double FlushedAfterMs = 1500;

class TBurst {
public:
    TBurst(TMain& Main, TOptions Options, int& Errors)
        : FMain(Main), FOptions(std::move(Options)), FErrors(Errors), FRows(Main.List->Count()) {
        // Asked here, before anything is timed; the notifier asks nothing at start.
        const QDBusConnection bus = QDBusConnection::sessionBus();
        FService =
            bus.isConnected() && bus.interface() != nullptr &&
            bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.Notifications"));
        Main.Notifier()->SetFallbackHook([this](const QString&, const QString& text) {
            ++FHookNotices;
            FNoticeTexts << text.left(40);
        });
        // Every decision, timed from the failure, then handed to the window.
        FWindow = Main.Scanner->OnAlertChange;
        Main.Scanner->OnAlertChange = [this](TDeviceScanner* sender, const TAlertChange& change) {
            Decided(change);
            FWindow(sender, change);
        };
        // The heartbeat: the longest gap between its beats is the longest
        // the loop stalled, at 1 ms resolution.
        FHeartbeat.setTimerType(Qt::PreciseTimer);
        FHeartbeat.setInterval(1);
        QObject::connect(&FHeartbeat, &QTimer::timeout, &Main, [this] { Beat(); });
        FPoll.setInterval(50);
        QObject::connect(&FPoll, &QTimer::timeout, &Main, [this] { Poll(); });
    }

    void Start() {
        FBegan = Clock::now();
        try {
            FMain.StartActionExecute();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "bench_alertburst: %s\n", e.what());
            ++FErrors;
        }
        FPoll.start();
    }

private:
    void Decided(const TAlertChange& Change) {
        if (FFailing && Change.NewState == TAlertState::Down) {
            const double at = Ms(Clock::now() - FFailed);
            if (FFirstDownMs < 0)
                FFirstDownMs = at;
            FLastDownMs = at;
        }
        if (!Change.Silent)
            ++FAnnounced;
    }

    // Waits for every device to be up, then fails them all.
    void Poll() {
        TSentrelScanner* scanner = FMain.Scanner;
        if (scanner->Active() && !scanner->Starting() &&
            scanner->AlertCount(TAlertState::Up) == FRows) {
            FPoll.stop();
            FUpBefore = FRows;
            FFailed = FLastBeat = Clock::now();
            FFailing = true;
            FHeartbeat.start();
            TakeLoopbackDown(FIpStatus);
        } else if (Ms(Clock::now() - FBegan) > FOptions.UpLimit * 1000) {
            FPoll.stop();
            Finish("not every device came up");
        }
    }

    void Beat() {
        const Clock::time_point now = Clock::now();
        const double gap = Ms(now - FLastBeat);
        const int down = FMain.Scanner->AlertCount(TAlertState::Down);
        if (gap > FStallMs) {
            FStallMs = gap;
            FStallAtMs = Ms(now - FFailed);
            FDownAtStall = down;
        }
        if (gap > 50)
            ++FStallsOver50;
        FLastBeat = now;
        const double since = Ms(now - FFailed);
        if (FAllDownMs < 0 && down == FRows)
            FAllDownMs = since;
        if (FAllDownMs >= 0 && since >= FAllDownMs + FlushedAfterMs)
            Finish(nullptr);
        else if (FAllDownMs < 0 && since > FOptions.DownLimit * 1000)
            Finish("not every device went down");
    }

    void Finish(const char* Failure) {
        FHeartbeat.stop();
        std::printf("rows=%d\n", FRows);
        std::printf("notify_path=%s\n", FService ? "dbus" : "hook");
        std::printf("problems_first=%d\n", FMain.Settings->Alerts.ProblemsFirst ? 1 : 0);
        std::printf("up_before=%d\n", FUpBefore);
        std::printf("down=%d\n", FMain.Scanner->AlertCount(TAlertState::Down));
        std::printf("announced_changes=%d\n", FAnnounced);
        std::printf("ip_status=%d\n", FIpStatus.load());
        if (FAllDownMs >= 0)
            std::printf("all_down_ms=%.1f\n", FAllDownMs);
        std::printf("first_down_ms=%.1f\n", FFirstDownMs);
        std::printf("last_down_ms=%.1f\n", FLastDownMs);
        std::printf("stall_max_ms=%.1f\n", FStallMs);
        std::printf("stall_at_ms=%.1f\n", FStallAtMs);
        std::printf("down_at_stall=%d\n", FDownAtStall);
        std::printf("stalls_over_50ms=%d\n", FStallsOver50);
        std::printf("hook_notifications=%d\n", FHookNotices);
        if (!FNoticeTexts.isEmpty())
            std::printf("hook_texts=%s\n",
                        FNoticeTexts.join(QStringLiteral(" | ")).toUtf8().constData());
        if (Failure != nullptr)
            std::printf("failed=%s\n", Failure);
        std::printf("errors=%d\n", FErrors);
        std::fflush(stdout);
        FMain.EndSession();
    }

    TMain& FMain;
    TOptions FOptions;
    int& FErrors;
    const int FRows;
    bool FService = false;
    TAlertChangeEvent FWindow;
    QTimer FHeartbeat;
    QTimer FPoll;
    Clock::time_point FBegan;
    Clock::time_point FFailed;
    Clock::time_point FLastBeat;
    bool FFailing = false;
    std::atomic<int> FIpStatus{-1};
    int FUpBefore = 0;
    int FAnnounced = 0;
    int FHookNotices = 0;
    QStringList FNoticeTexts;
    double FFirstDownMs = -1;
    double FLastDownMs = -1;
    double FAllDownMs = -1;
    double FStallMs = 0;
    double FStallAtMs = 0;
    int FDownAtStall = 0;
    int FStallsOver50 = 0;
};

} // namespace

int main(int argc, char** argv) {
    const TOptions options = ReadOptions(argc, argv);
    bench::RequireProfile("bench_alertburst");
    if (!InNamespace(options.Namespace)) {
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
    TBurst burst(main, options, errors);
    QTimer::singleShot(500, &main, [&burst] { burst.Start(); });
    return TApplication::exec();
}
