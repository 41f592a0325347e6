// The main window's commands that open the secondary windows.

#include "core/SentrelScannerCM.h"
#include "core/SentrelSettingsCM.h"
#include "core/StatusLogCM.h"
#include "tests/support/TempConfig.h"
#include "tests/ui/ModalHelper.h"
#include "ui/AdminOptionsFM.h"
#include "ui/Images.h"
#include "ui/LogViewerCM.h"
#include "ui/MainFM.h"
#include "ui/SentrelListView.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace {

const char* const Devices =
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0]\n"
    "\"AutoScan\"=dword:00000000\n\"ShowWindow\"=dword:00000001\n"
    "\"AllowEchoChange\"=dword:00000001\n\"AllowDeviceChanges\"=dword:00000001\n"
    "\"AllowClearLog\"=dword:00000001\n\"AllowChangeLogSize\"=dword:00000001\n"
    "\"ECHORequestSize\"=dword:00000020\n\"IPTimeToLive\"=dword:00000040\n"
    "\"ECHOTimeout\"=dword:000003e8\n\"PingInterval\"=dword:00000001\n"
    "\"SystemLogSize\"=dword:00000064\n\"DeviceLogSize\"=dword:00000032\n"
    "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\127.0.0.1]\n"
    "\"Host\"=\"127.0.0.1\"\n\"Description\"=\"\"\n\"DeviceType\"=dword:00000000\n"
    "\"Monitored\"=dword:00000001\n"
    "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\127.0.0.2]\n"
    "\"Host\"=\"127.0.0.2\"\n\"Description\"=\"\"\n\"DeviceType\"=dword:00000003\n"
    "\"Monitored\"=dword:00000001\n";

class CommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        TMain::SetTrayAvailability(true);
        Config.Write(Config.SettingsFile(), Devices);
    }
    void TearDown() override { TMain::SetTrayAvailability(std::nullopt); }

    // A main window with its options dialog, scanning, both devices answered.
    std::unique_ptr<TMain> StartScanning(const QStringList& arguments = {}) {
        auto main = std::make_unique<TMain>(arguments);
        main->OptionsForm = &Options;
        main->TimerTimer();
        main->StartActionExecute();
        EXPECT_TRUE(WaitUntil([&] { return main->Log->Count() == 2; }));
        return main;
    }

    // Opens a log view with Action and returns its caption and lines.
    static std::pair<QString, QStringList> ViewedLog(TMain& main, QAction* Action) {
        std::pair<QString, QStringList> viewed;
        WhenModalOpens([&](QWidget*) {
            TLogViewerForm* form = main.LogViewer->Form();
            ASSERT_NE(form, nullptr);
            viewed = {form->windowTitle(), form->Lines()};
            form->CloseBtn->click();
        });
        Action->trigger();
        return viewed;
    }

    int DeviceLogRecords(TMain& main) {
        int records = 0;
        for (int i = 0; i < main.Scanner->Scanners()->Count(); ++i)
            records += main.Scanner->Scanners()->Items(i)->Log()->Count();
        return records;
    }

    TempConfig Config;
    TOptionsForm Options;
};

TEST_F(CommandsTest, ConfirmedOptionsRebuildAndResumeScanningWithEmptyDeviceLogs) {
    auto main = StartScanning();
    EXPECT_EQ(DeviceLogRecords(*main), 2);
    QString title;
    QStringList pages;
    WhenModalOpens([&](QWidget* modal) {
        title = modal->windowTitle();
        Options.OKBtn->click();
    });
    main->OptionsActionExecute();
    EXPECT_EQ(title, QStringLiteral("Sentrel Options"));
    EXPECT_TRUE(main->Scanner->Active());
    EXPECT_TRUE(main->Scanning());
    EXPECT_EQ(main->Log->Count(), 2); // the system log keeps its records
    // Fresh device logs; their first replies come again from Unknown.
    ASSERT_TRUE(WaitUntil([&] { return DeviceLogRecords(*main) == 2; }));
    EXPECT_TRUE(WaitUntil([&] { return main->Log->Count() == 4; }));
}

TEST_F(CommandsTest, CancelledOptionsChangeNothing) {
    auto main = StartScanning({QStringLiteral("/admin")});
    TDeviceScanner* first = main->Scanner->Scanners()->Items(0);
    QString title;
    WhenModalOpens([&](QWidget* modal) {
        title = modal->windowTitle();
        EXPECT_TRUE(Options.VisiblePages().contains(Options.PermissionsTab));
        Options.CancelBtn->click();
    });
    main->OptionsActionExecute();
    EXPECT_EQ(title, QStringLiteral("Sentrel Administration"));
    EXPECT_EQ(main->Scanner->Scanners()->Items(0), first); // not rebuilt
    EXPECT_EQ(first->Log()->Count(), 1);
    EXPECT_TRUE(main->Scanner->Active());
}

TEST_F(CommandsTest, ConfirmingWhileIdleLeavesScanningOff) {
    TMain main({});
    main.OptionsForm = &Options;
    WhenModalOpens([&](QWidget*) { Options.OKBtn->click(); });
    main.OptionsActionExecute();
    EXPECT_FALSE(main.Scanner->Active());
    EXPECT_EQ(main.List->Count(), 2);
}

TEST_F(CommandsTest, SystemLogViewCarriesTheHostColumn) {
    auto main = StartScanning();
    const auto [caption, lines] = ViewedLog(*main, main->ViewLogAction);
    EXPECT_EQ(caption, QStringLiteral("Network Activity Log"));
    ASSERT_EQ(lines.size(), 2);
    for (const QString& line : lines)
        EXPECT_TRUE(line.contains(QStringLiteral("127.0.0.")) &&
                    line.endsWith(QStringLiteral("   Connected")))
            << line.toStdString();
}

TEST_F(CommandsTest, DeviceLogViewNeedsASelectedRowAndHasNoHostColumn) {
    auto main = StartScanning();
    main->ApplicationEventsIdle();
    EXPECT_FALSE(main->ViewDeviceLogAction->isEnabled());
    main->ViewDeviceLogActionExecute(); // no selection: nothing opens
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    TListItem* row = main->List->Item(1);
    main->List->SetSelected(row);
    main->ApplicationEventsIdle();
    EXPECT_TRUE(main->ViewDeviceLogAction->isEnabled());
    const auto [caption, lines] = ViewedLog(*main, main->ViewDeviceLogAction);
    EXPECT_EQ(caption, QStringLiteral("Activity Log for ") + row->Caption());
    ASSERT_EQ(lines.size(), 1);
    EXPECT_FALSE(lines[0].contains(QStringLiteral("127.0.0.")));
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("  Connected")));
}

// The main window, telling whether Qt's closing of it was accepted.
class ClosingProbe : public TMain {
public:
    using TMain::TMain;
    std::optional<bool> CloseAccepted;

protected:
    void closeEvent(QCloseEvent* Event) override {
        TMain::closeEvent(Event);
        CloseAccepted = Event->isAccepted();
    }
};

// Runs the event loop as the program does and picks "&Shutdown" once from
// within it, after Open (which may run a modal window); returns the loop's
// status: 0 when that one pick ended it. The guard only keeps a refused
// shutdown from hanging the test.
int ShutdownOnce(TMain& main, const std::function<void()>& Open, bool Modal) {
    QAction* shutdown = nullptr;
    for (QAction* action : main.TrayPopup->actions())
        if (action->text() == QStringLiteral("&Shutdown"))
            shutdown = action;
    EXPECT_NE(shutdown, nullptr);
    if (shutdown == nullptr)
        return -1;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start(10000);
    if (Modal)
        WhenModalOpens([item = QPointer<QAction>(shutdown)](QWidget*) {
            if (item) // gone when the modal window never opened
                item->trigger();
        });
    QTimer::singleShot(0, [&] {
        Open();
        if (!Modal)
            shutdown->trigger();
    });
    return QApplication::exec();
}

// Qt's quit asks every visible window to close, in no fixed order, and stops
// at the first refusal: the main window must not refuse while shutting down.
TEST_F(CommandsTest, OneShutdownEndsTheProgramAndSavesFromEveryState) {
    struct State {
        const char* Name;
        bool Modal;
        std::function<void(ClosingProbe&)> Open;
    };
    const State states[] = {
        {"window focused", false,
         [](ClosingProbe& main) {
             main.OpenItmClick();
             EXPECT_TRUE(WaitUntil([&] { return QApplication::activeWindow() == &main; }));
         }},
        {"window hidden", false,
         [](ClosingProbe& main) {
             main.close();
             main.CloseAccepted.reset(); // a close by the user, which hides
         }},
        {"system log open", true, [](ClosingProbe& main) { main.ViewLogAction->trigger(); }},
        {"device log open", true,
         [](ClosingProbe& main) {
             main.List->SetSelected(main.List->Item(0));
             main.ApplicationEventsIdle();
             main.ViewDeviceLogAction->trigger();
         }},
        {"options open", true, [](ClosingProbe& main) { main.OptionsAction->trigger(); }},
    };
    for (const State& state : states) {
        SCOPED_TRACE(state.Name);
        Config.Write(Config.SettingsFile(), Devices);
        ClosingProbe main(QStringList{});
        main.OptionsForm = &Options;
        main.TimerTimer();
        main.StartActionExecute();
        main.move(100, 120);
        // Like the tray icon's own window on X11, which the quit closes too.
        QWidget trayWindow;
        trayWindow.show();
        const auto open = [&] { state.Open(main); };
        EXPECT_EQ(ShutdownOnce(main, open, state.Modal), 0);
        EXPECT_NE(main.CloseAccepted, std::make_optional(false)) << "the window refused";
        EXPECT_FALSE(main.isVisible());
        EXPECT_FALSE(Options.isVisible());
        EXPECT_FALSE(main.Scanner->Active());
        TSentrelSettings saved(nullptr);
        saved.Load();
        EXPECT_EQ(saved.FormLeft, 100);
        EXPECT_EQ(saved.FormTop, 120);
        EXPECT_EQ(saved.Devices()->Count(), 2);
        Options.hide(); // left open by a refused shutdown
    }
}

} // namespace
