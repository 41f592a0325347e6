// The soak driver: the program's main window and options dialog, put
// together as the program does, offscreen, on a generated profile of many
// loopback devices, driven round after round for the time given.
//
//   sentrel-soak [MINUTES [DEVICES]]     defaults: 15 minutes, 1000 devices
//
// Prints a table of the figures per round and a summary; exits 0 when every
// round came back to its levels, 1 when not, 2 on bad arguments.

#include "platform/Process.h"
#include "tests/soak/SoakProfile.h"
#include "tests/soak/SoakRounds.h"
#include "ui/AdminOptionsFM.h"
#include "ui/ErrorReport.h"
#include "ui/MainFM.h"
#include "ui/SentrelListView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

bool ParsePositive(const char* Text, double Max, double& Value) {
    char* end = nullptr;
    Value = std::strtod(Text, &end);
    return end != Text && *end == '\0' && Value > 0 && Value <= Max;
}

int CountSavedDevices(const std::string& ConfigHome) {
    std::ifstream file(ConfigHome + "/Kestrava/Sentrel/settings.reg");
    int devices = 0;
    for (std::string line; std::getline(file, line);)
        if (line.rfind("\"Host\"=", 0) == 0)
            ++devices;
    return devices;
}

// The offscreen platform says, each time a window is shown, that it cannot
// pass size hints on; nothing else of Qt's is hidden.
QtMessageHandler gQtHandler = nullptr;

void FilterQtMessages(QtMsgType Type, const QMessageLogContext& Context, const QString& Text) {
    if (Text == QStringLiteral("This plugin does not support propagateSizeHints()"))
        return;
    gQtHandler(Type, Context, Text);
}

} // namespace

int main(int argc, char** argv) {
    double minutes = 15;
    double devices = 1000;
    if (argc > 3 || (argc > 1 && !ParsePositive(argv[1], 7 * 24 * 60, minutes)) ||
        (argc > 2 && !ParsePositive(argv[2], 60000, devices))) {
        std::fprintf(stderr, "usage: sentrel-soak [MINUTES [DEVICES]]\n");
        return 2;
    }
    const int deviceCount = static_cast<int>(devices);

    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // A profile of its own: the program saves its settings, and must never
    // do so over a real user's.
    char pattern[] = "/tmp/sentrel-soak-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("sentrel-soak: cannot create a temporary folder");
        return 1;
    }
    const std::string home = pattern;
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    setenv("XDG_STATE_HOME", (home + "/state").c_str(), 1);
    struct TRemove {
        std::string Folder;
        ~TRemove() {
            std::error_code ignored;
            std::filesystem::remove_all(Folder, ignored);
        }
    } removeHome{home};
    try {
        WriteSoakProfile(home, deviceCount);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sentrel-soak: %s\n", e.what());
        return 1;
    }

    std::printf(
        "sentrel-soak: %d loopback devices, %.1f minutes, profile %s, open-file limit %lu\n",
        deviceCount, minutes, home.c_str(), platform::RaiseOpenFileLimit());
    gQtHandler = qInstallMessageHandler(FilterQtMessages);
    TApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kestrava Sentrel"));
    QApplication::setQuitOnLastWindowClosed(false);

    bool sound = false;
    int savedDevices = 0;
    TSoakRounds* rounds = nullptr;
    // Every report is a fault (its text is on stderr already); nobody is
    // there to close a message box.
    SetErrorReportHook([&rounds](const QString& text) {
        if (rounds != nullptr)
            rounds->ErrorReported(text.toStdString());
    });
    {
        TMain main({});
        TOptionsForm options;
        main.OptionsForm = &options;
        TSoakRounds soak(main, options, deviceCount, stdout);
        rounds = &soak;

        QTimer::singleShot(0, &main, [&] {
            // The start-up step of the window first, as the program runs it.
            QElapsedTimer started;
            started.start();
            while (main.Timer->isActive() && started.elapsed() < 10000)
                QApplication::processEvents(QEventLoop::AllEvents, 50);
            if (main.List->Count() != deviceCount || !main.isVisible()) {
                std::fprintf(stderr, "sentrel-soak: the window shows %d of %d devices\n",
                             main.List->Count(), deviceCount);
            } else {
                sound = soak.Run(std::chrono::milliseconds(static_cast<long>(minutes * 60000)));
            }
            QApplication::quit();
        });
        TApplication::exec();
        main.FormDestroy();
        soak.PrintSummary();
        savedDevices = CountSavedDevices(home);
        rounds = nullptr;
    }
    SetErrorReportHook(nullptr);
    if (savedDevices != deviceCount) {
        std::printf("FAIL: the settings saved at the end list %d of %d devices\n", savedDevices,
                    deviceCount);
        return 1;
    }
    std::printf(sound ? "PASS: every round came back to its levels\n"
                      : "FAIL: see the rounds marked above\n");
    return sound ? 0 : 1;
}
