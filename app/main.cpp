// The program entry: the tray program, or with --console the same
// monitoring without any window; --import and --export-devices work on the
// device list and end.

#include "app/CommandLine.h"
#include "app/Console.h"
#include "app/DeviceFiles.h"
#include "app/ServiceInstall.h"
#include "app/SingleInstance.h"
#include "app/StopGrace.h"
#include "help/hh.h"
#include "help/hh_funcs.h"
#include "help/qsDebug.h"
#include "platform/Display.h"
#include "platform/Process.h"
#include "ui/AdminOptionsFM.h"
#include "ui/AppHelp.h"
#include "ui/ErrorReport.h"
#include "ui/MainFM.h"

#include <QSessionManager>
#include <QSocketNotifier>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>

namespace {

int gSignalPipe[2] = {-1, -1};
// The main window once it is complete; a stop asked for before then is kept.
TMain* gMain = nullptr;
bool gStopPending = false;

void OnTerminate(int) {
    stopgrace::StopAsked();
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(gSignalPipe[0], &byte, 1);
}

// SIGTERM and SIGINT end the session the way the session manager does. They
// are caught from the moment the settings are this copy's, before anything
// that can block or show a box; the event loop acts on them once it runs,
// and the grace period ends the process if it never does.
void CatchTerminationSignals() {
    stopgrace::Install();
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe) == 0)
        fcntl(gSignalPipe[0], F_SETFL, O_NONBLOCK); // a handler never blocks
    struct sigaction action {};
    action.sa_handler = OnTerminate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// Reads the caught signals in the event loop. Before the main window is
// complete, a stop closes whatever box runs (a settings file that cannot be
// read shows one while the window is made) and the session ends after.
void WatchTerminationSignals(QObject& Owner) {
    if (gSignalPipe[1] < 0)
        return;
    auto* notifier = new QSocketNotifier(gSignalPipe[1], QSocketNotifier::Read, &Owner);
    QObject::connect(notifier, &QSocketNotifier::activated, &Owner, [] {
        char byte;
        [[maybe_unused]] const ssize_t n = read(gSignalPipe[1], &byte, 1);
        if (gMain != nullptr) {
            gMain->EndSession();
            return;
        }
        gStopPending = true;
        QCoreApplication::exit(0);
    });
}

} // namespace

SENTREL_FILE_VERSION(1, 0, 0, 0);

int main(int argc, char** argv) {
    const CommandLine line = ParseCommandLine(argc, argv);
    switch (line.What) {
    case CommandLine::Request::Help:
    case CommandLine::Request::Version:
        std::fputs(line.Text.c_str(), stdout);
        return 0;
    case CommandLine::Request::Invalid:
        std::fputs(line.Text.c_str(), stderr);
        return 2;
    case CommandLine::Request::InstallService:
        return InstallService(line.Force, stdout, stderr);
    case CommandLine::Request::Console: {
        std::unique_ptr<platform::TInstanceLock> lock;
        if (const auto refused = ClaimSettings(TCopyKind::Console, lock))
            return *refused;
        return RunConsole(stdout, line.Metrics);
    }
    case CommandLine::Request::Import:
        return ImportDevices(line.File, stdout, stderr);
    case CommandLine::Request::ExportDevices:
        return ExportDevices(line.File, stdout, stderr);
    case CommandLine::Request::Window:
        break;
    }
    // Without a display Qt would abort with a core dump and advice that does
    // not apply.
    const std::string missing = platform::MissingDisplay(line.Platform, line.Display);
    if (!missing.empty()) {
        std::fprintf(stderr, "sentrel: no display found (%s); sentrel --console runs without one\n",
                     missing.c_str());
        return 2;
    }

    // Before anything else touches the settings or the help log.
    std::unique_ptr<platform::TInstanceLock> lock;
    if (const auto refused = ClaimSettings(line.Admin ? TCopyKind::Admin : TCopyKind::Window, lock))
        return *refused;
    CatchTerminationSignals();

    platform::RaiseOpenFileLimit();
    // Before Qt takes the arguments it knows out of argv.
    hh_funcs::Initialize(argc, argv);
    qsDebug::Initialize();
    TApplication app(argc, argv);
    WatchTerminationSignals(app);
    QApplication::setApplicationName(QStringLiteral("Kestrava Sentrel"));
    // Hiding the window must not end the program; only "&Shutdown" does.
    QApplication::setQuitOnLastWindowClosed(false);
    // F1 asks for the help of the focused control.
    THelpKeyFilter helpKey;
    app.installEventFilter(&helpKey);
    // The help runtime loads before the first window and is released after
    // the last one is gone (the guard outlives the windows declared below).
    if (hh::AutoLoadHtmlHelp)
        hh::LoadHtmlHelp();
    struct THelpRelease {
        ~THelpRelease() { hh::UnloadHtmlHelp(); }
    } helpRelease;

    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    TMain main(arguments);
    TOptionsForm options;
    main.OptionsForm = &options;
    AnswerLaterCopies(main, *lock);
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &main,
                     [&main](QSessionManager&) { main.EndSession(); });
    int status = 0;
    if (gStopPending) {
        main.EndSession();
    } else {
        gMain = &main;
        status = TApplication::exec();
        gMain = nullptr;
    }
    main.FormDestroy();
    // The debug window goes while the application still exists.
    qsDebug::Finalize();
    hh_funcs::Finalize();
    return status;
}
