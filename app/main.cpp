// The program entry: the tray program, or with --console the same
// monitoring without any window.

#include "app/CommandLine.h"
#include "app/Console.h"
#include "app/SingleInstance.h"
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

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>

namespace {

int gSignalPipe[2] = {-1, -1};

void OnTerminate(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(gSignalPipe[0], &byte, 1);
}

// SIGTERM and SIGINT end the session the way the session manager does.
void WatchTerminationSignals(TMain& main) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(gSignalPipe[1], QSocketNotifier::Read, &main);
    QObject::connect(notifier, &QSocketNotifier::activated, &main, [&main] {
        char byte;
        [[maybe_unused]] const ssize_t n = read(gSignalPipe[1], &byte, 1);
        main.EndSession();
    });
    struct sigaction action {};
    action.sa_handler = OnTerminate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
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
    case CommandLine::Request::Console: {
        std::unique_ptr<platform::TInstanceLock> lock;
        if (const auto refused = ClaimSettings(TCopyKind::Console, lock))
            return *refused;
        return RunConsole(stdout);
    }
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

    platform::RaiseOpenFileLimit();
    // Before Qt takes the arguments it knows out of argv.
    hh_funcs::Initialize(argc, argv);
    qsDebug::Initialize();
    TApplication app(argc, argv);
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
    WatchTerminationSignals(main);
    AnswerLaterCopies(main, *lock);
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &main,
                     [&main](QSessionManager&) { main.EndSession(); });
    const int status = TApplication::exec();
    main.FormDestroy();
    // The debug window goes while the application still exists.
    qsDebug::Finalize();
    hh_funcs::Finalize();
    return status;
}
