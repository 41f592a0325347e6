// The main window, headless: start-up, scanning, the rows, shut-down.

#include "core/SentrelScannerCM.h"
#include "core/SentrelSettingsCM.h"
#include "core/StatusLogCM.h"
#include "net/qsWinsock.h"
#include "tests/support/FakeIcmp.h"
#include "tests/support/TempConfig.h"
#include "tests/support/WidgetTestEnvironment.h"
#include "tests/ui/ModalHelper.h"
#include "ui/AlertNotifier.h"
#include "ui/ErrorReport.h"
#include "ui/Images.h"
#include "ui/ListFilterBar.h"
#include "ui/LogViewerCM.h"
#include "ui/MainFM.h"
#include "ui/SentrelListView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <ostream>

// Readable failures for Qt strings.
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

const std::string Header = "Windows Registry Editor Version 5.00\n\n";
const std::string Key = "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0]\n";

std::string Dword(const char* name, int value) {
    char text[64];
    std::snprintf(text, sizeof(text), "\"%s\"=dword:%08x\n", name, static_cast<unsigned>(value));
    return text;
}

std::string SettingsKey(bool autoScan, bool showWindow, int systemLog = 100) {
    return Key + Dword("AutoScan", autoScan) + Dword("ShowWindow", showWindow) +
           Dword("AllowEchoChange", 1) + Dword("AllowDeviceChanges", 1) +
           Dword("AllowClearLog", 1) + Dword("AllowChangeLogSize", 1) +
           Dword("ECHORequestSize", 32) + Dword("IPTimeToLive", 64) + Dword("ECHOTimeout", 1000) +
           Dword("PingInterval", 1) + Dword("SystemLogSize", systemLog) +
           Dword("DeviceLogSize", 50);
}

std::string Device(const std::string& host, int type, bool monitored,
                   const std::string& description = "") {
    return "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\" + host +
           "]\n\"Host\"=\"" + host + "\"\n\"Description\"=\"" + description + "\"\n" +
           Dword("DeviceType", type) + Dword("Monitored", monitored);
}

std::string Form(int left, int top, int width, int height) {
    return "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Form]\n" + Dword("Left", left) +
           Dword("Top", top) + Dword("Height", height) + Dword("Width", width);
}

std::vector<QString> Captions(const TListView& list) {
    std::vector<QString> captions;
    for (int i = 0; i < list.Count(); ++i)
        captions.push_back(list.Item(i)->Caption());
    return captions;
}

// The captions of the rows the list shows, top to bottom.
std::vector<QString> ShownCaptions(const TListView& list) {
    std::vector<QString> captions;
    for (int row = 0; row < list.ShownCount(); ++row)
        captions.push_back(list.ItemAtRow(row)->Caption());
    return captions;
}

// A key pressed and released on Widget, as the keyboard gives it.
void Type(QWidget* widget, int key, const QString& text = QString(),
          Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QApplication::sendEvent(widget, &release);
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override { TMain::SetTrayAvailability(true); }
    void TearDown() override { TMain::SetTrayAvailability(std::nullopt); }
    void WriteSettings(const std::string& body) {
        Config.Write(Config.SettingsFile(), Header + body);
    }

    TempConfig Config;
};

TEST_F(MainWindowTest, StartsAtTheBottomRightAndAppliesTheTimerStepOnce) {
    WriteSettings(SettingsKey(false, false, 7) + Device("127.0.0.1", 0, true));
    TMain main({});
    const QRect area = QApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(main.x(), area.width() - main.width());
    EXPECT_EQ(main.y(), area.height() - main.height());
    EXPECT_TRUE(main.Timer->isActive());
    EXPECT_EQ(main.Log->Capacity(), 0);
    main.TimerTimer();
    EXPECT_FALSE(main.Timer->isActive());
    EXPECT_EQ(main.Log->Capacity(), 7);
    EXPECT_FALSE(main.isVisible()); // ShowWindow off: the tray only
    EXPECT_FALSE(main.Scanning());
    main.ApplicationEventsIdle();
    EXPECT_TRUE(main.StartAction->isVisible());
    EXPECT_FALSE(main.StopAction->isVisible());
}

TEST_F(MainWindowTest, SavedGeometryNeedsBothWidthAndHeight) {
    WriteSettings(SettingsKey(false, true) + Form(40, 50, 400, 0));
    {
        TMain main({});
        const QPoint placed = main.pos();
        main.TimerTimer();
        EXPECT_EQ(main.pos(), placed);
        EXPECT_EQ(main.size(), QSize(312, 259));
        EXPECT_TRUE(main.isVisible());
        main.FormDestroy();
    }
    WriteSettings(SettingsKey(false, true) + Form(40, 50, 400, 300));
    TMain main({});
    main.TimerTimer();
    EXPECT_EQ(main.x(), 40);
    EXPECT_EQ(main.y(), 50);
    EXPECT_EQ(main.width(), 400);
    EXPECT_EQ(main.height(), 300);
}

TEST_F(MainWindowTest, SavedGeometryOffEveryScreenIsMovedOntoOneWithItsSize) {
    WriteSettings(SettingsKey(false, true) + Form(9000, -5000, 400, 300));
    TMain main({});
    main.TimerTimer();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_TRUE(area.contains(QRect(main.pos(), main.size())))
        << main.x() << "," << main.y() << " in " << area.width() << "x" << area.height();
    EXPECT_EQ(main.size(), QSize(400, 300));
}

TEST_F(MainWindowTest, WithoutANotificationAreaTheWindowShowsAnyway) {
    TMain::SetTrayAvailability(false);
    WriteSettings(SettingsKey(false, false));
    TMain main({});
    main.TimerTimer();
    EXPECT_TRUE(main.isVisible());
    EXPECT_FALSE(main.HasTray());
}

TEST_F(MainWindowTest, AutoScanStartsAndRowsShowTheirResults) {
    WriteSettings(SettingsKey(true, true) + Device("127.0.0.1", 0, true, "this machine") +
                  Device("127.0.0.2", 3, true) + Device("localhost", 2, false));
    TMain main({});
    ASSERT_EQ(main.List->Count(), 3);
    main.TimerTimer();
    EXPECT_TRUE(main.Scanning());
    main.ApplicationEventsIdle();
    EXPECT_FALSE(main.StartAction->isVisible());
    EXPECT_TRUE(main.StopAction->isVisible());
    ASSERT_TRUE(WaitUntil([&] { return main.Log->Count() == 2; }));
    // Lit rows first, by device type; the unmonitored one last with no status.
    EXPECT_EQ(Captions(*main.List),
              (std::vector<QString>{QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.2"),
                                    QStringLiteral("localhost")}));
    EXPECT_EQ(main.List->Item(0)->SubItem(0), QStringLiteral("Connected"));
    EXPECT_EQ(main.List->Item(0)->SubItemImage(0), images::LampGreen);
    EXPECT_EQ(main.List->Item(0)->SubItem(1), QStringLiteral("this machine"));
    EXPECT_EQ(main.List->Item(2)->SubItem(0), QString());
    EXPECT_EQ(main.List->Item(2)->SubItemImage(0), images::LampOff);

    main.StopActionExecute();
    EXPECT_FALSE(main.Scanning());
    EXPECT_FALSE(main.Winsock->Active());
    QApplication::processEvents();
    for (int i = 0; i < main.List->Count(); ++i) {
        EXPECT_EQ(main.List->Item(i)->SubItem(0), QString());
        EXPECT_EQ(main.List->Item(i)->SubItemImage(0), images::LampOff);
    }
    EXPECT_EQ(main.Log->Count(), 2); // the system log keeps what it recorded
}

TEST_F(MainWindowTest, EachResultClassLightsItsLamp) {
    WriteSettings(SettingsKey(false, true) + Device("127.0.0.1", 0, true));
    TMain main({});
    TDeviceScanner* device = main.Scanner->Scanners()->Items(0);
    auto* row = static_cast<TListItem*>(device->ListItem);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->Data(), device);
    const std::pair<TPingResult, int> cases[] = {
        {prSuccess, images::LampGreen},
        {prBadReplyData, images::LampYellow},
        {prReplySizeMismatch, images::LampYellow},
        {prTimedOut, images::LampRed},
        {prDestHostUnreachable, images::LampRed},
        {prUnknownError, images::LampRed},
    };
    for (const auto& [result, lamp] : cases) {
        TqsPingReply reply;
        reply.Result = result;
        main.ScannerPingReply(device, &reply);
        EXPECT_EQ(row->SubItemImage(0), lamp) << PingResultText[result];
        EXPECT_EQ(row->SubItem(0), QString::fromUtf8(PingResultText[result]));
    }
}

TEST_F(MainWindowTest, RowsSortLitFirstThenByTypeThenHostIgnoringCase) {
    WriteSettings(SettingsKey(false, true) + Device("zeta", 0, true) + Device("Beta", 2, true) +
                  Device("alpha", 2, true) + Device("gamma", 1, true) + Device("Alpha2", 0, true));
    TMain main({});
    EXPECT_EQ(Captions(*main.List),
              (std::vector<QString>{QStringLiteral("Alpha2"), QStringLiteral("zeta"),
                                    QStringLiteral("gamma"), QStringLiteral("alpha"),
                                    QStringLiteral("Beta")}));
    // A reply lights Beta's lamp: it moves to the top.
    TDeviceScanner* beta = nullptr;
    for (int i = 0; i < main.Scanner->Scanners()->Count(); ++i)
        if (main.Scanner->Scanners()->Items(i)->DisplayName() == "Beta")
            beta = main.Scanner->Scanners()->Items(i);
    ASSERT_NE(beta, nullptr);
    TqsPingReply reply;
    reply.Result = prTimedOut;
    main.ScannerPingReply(beta, &reply);
    EXPECT_EQ(main.List->Item(0)->Caption(), QStringLiteral("Beta"));
    main.List->ResetStatus();
    EXPECT_EQ(main.List->Item(4)->Caption(), QStringLiteral("Beta"));
}

TEST_F(MainWindowTest, ACloseHidesAndShutdownSavesTheGeometry) {
    WriteSettings(SettingsKey(false, true) + Device("127.0.0.1", 0, true));
    {
        TMain main({});
        main.TimerTimer();
        ASSERT_TRUE(main.isVisible());
        main.close();
        EXPECT_FALSE(main.isVisible());
        main.OpenItmClick();
        EXPECT_TRUE(main.isVisible());
        main.move(100, 120);
        main.resize(333, 222);
    }
    TSentrelSettings saved(nullptr);
    saved.Load();
    EXPECT_EQ(saved.FormLeft, 100);
    EXPECT_EQ(saved.FormTop, 120);
    EXPECT_EQ(saved.FormWidth, 333);
    EXPECT_EQ(saved.FormHeight, 222);
    EXPECT_EQ(saved.Devices()->Count(), 1);
}

TEST_F(MainWindowTest, SettingsThatFailToLoadLeaveTheProgramRunningWithAnEmptyList) {
    WriteSettings(Key + Dword("AutoScan", 1));
    ExpectedErrorReports reports;
    TMain main({QStringLiteral("admin")});
    ASSERT_EQ(reports.Texts.size(), 1u);
    EXPECT_TRUE(
        reports.Texts[0].startsWith(QStringLiteral("Failed to get data for 'ShowWindow' (")))
        << reports.Texts[0].toStdString();
    EXPECT_TRUE(reports.Texts[0].endsWith(QStringLiteral("\")"))); // " sorts before .
    EXPECT_EQ(main.List->Count(), 0);
    EXPECT_FALSE(main.Timer->isActive());
    EXPECT_FALSE(main.AdminMode()); // the rest of the start-up was skipped
}

TEST_F(MainWindowTest, WithoutANotificationAreaAFailedLoadStillShowsTheWindow) {
    TMain::SetTrayAvailability(false);
    const std::string broken = Header + Key + Dword("AutoScan", 1);
    WriteSettings(Key + Dword("AutoScan", 1));
    {
        ExpectedErrorReports reports;
        TMain main({});
        ASSERT_EQ(reports.Texts.size(), 1u);
        EXPECT_TRUE(main.isVisible());
        main.close(); // ends the program, saving
    }
    const std::string fresh = Config.Read(Config.SettingsFile());
    EXPECT_NE(fresh.find("\"Width\"="), std::string::npos) << fresh;
    int kept = 0;
    const auto folder = std::filesystem::path(Config.SettingsFile()).parent_path();
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        kept += entry.path().filename().string().starts_with("settings.reg.broken-") &&
                Config.Read(entry.path()) == broken;
    EXPECT_EQ(kept, 1);
}

TEST_F(MainWindowTest, AStartFailureIsReportedAndStartStaysOffered) {
    WriteSettings(SettingsKey(false, true) + Device("127.0.0.1", 0, true));
    TMain main({});
    main.StopActionExecute(); // the session is only started anew when it was stopped
    ExpectedErrorReports reports;
    platform::SetStartupResult(10091);
    main.StartAction->trigger();
    platform::SetStartupResult(0);
    ASSERT_EQ(reports.Texts.size(), 1u);
    EXPECT_TRUE(reports.Texts[0].startsWith(QStringLiteral("Error initializing Winsock")));
    EXPECT_FALSE(main.Scanning());
    main.ApplicationEventsIdle();
    EXPECT_TRUE(main.StartAction->isVisible());
}

TEST_F(MainWindowTest, DevicesThatFailToStartAreReportedOnceWhileTheOthersProbe) {
    std::string devices;
    for (int i = 1; i <= 6; ++i)
        devices += Device("127.0.0." + std::to_string(i), 0, true);
    WriteSettings(SettingsKey(false, true) + devices);
    FakeIcmp fake;
    TMain main({});
    main.Scanner->SetStartSlice(2, std::chrono::microseconds(0)); // the report ends a later slice
    fake.FailCreateCalls({0, 3, 4});
    ExpectedErrorReports reports;
    main.StartAction->trigger();
    const auto lit = [&] {
        int n = 0;
        for (int i = 0; i < main.List->Count(); ++i)
            n += main.List->Item(i)->SubItemImage(0) == images::LampGreen;
        return n;
    };
    ASSERT_TRUE(WaitUntil([&] { return !reports.Texts.empty() && lit() == 3; }));
    QApplication::processEvents();
    ASSERT_EQ(reports.Texts.size(), 1u);
    EXPECT_TRUE(reports.Texts[0].startsWith(
        QStringLiteral("ICMP Error: Could not open handle: too many open files (limit ")))
        << reports.Texts[0].toStdString();
    EXPECT_TRUE(reports.Texts[0].contains(
        QStringLiteral(")\nNot started: 127.0.0.1, 127.0.0.4 and 127.0.0.5.")))
        << reports.Texts[0].toStdString();
    EXPECT_TRUE(main.Scanning());
    main.ApplicationEventsIdle();
    EXPECT_TRUE(main.StopAction->isVisible());
    main.StopAction->trigger();
    EXPECT_EQ(fake.OpenHandles(), 0);
    main.ApplicationEventsIdle();
    EXPECT_TRUE(main.StartAction->isVisible());
}

// The settings' metrics address is taken by another program: told once,
// and the window monitors on without metrics.
TEST_F(MainWindowTest, MetricsThatCannotBeServedAreToldOnceAndScanningGoesOn) {
    const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string busy = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    WriteSettings(SettingsKey(true, false) + Device("127.0.0.1", 0, true) +
                  "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Metrics]\n"
                  "\"Address\"=\"" +
                  busy + "\"\n");
    TMain::SetTrayAvailability(false);
    ExpectedErrorReports reports;
    {
        TMain main({});
        QApplication::processEvents();
        QApplication::processEvents();
        ASSERT_EQ(reports.Texts.size(), 1u);
        EXPECT_TRUE(reports.Texts[0].startsWith(QStringLiteral("Cannot serve metrics on ") +
                                                QString::fromStdString(busy)))
            << reports.Texts[0].toStdString();
        main.TimerTimer();
        EXPECT_TRUE(main.Scanning());
        EXPECT_EQ(main.List->Count(), 1);
    }
    close(taken);
}

TEST_F(MainWindowTest, ADeviceDownTopsTheListShowsInTheTrayAndIsAnnouncedOnce) {
    // No bus: the notices reach the hook that stands in for the tray's message.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    FakeIcmp fake;
    WriteSettings(SettingsKey(false, true) + Device("127.0.0.1", 0, true) +
                  Device("127.0.0.2", 0, true) + Device("127.0.0.3", 0, true) +
                  Device("127.0.0.4", 0, false) +
                  "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Alerts]\n" +
                  Dword("DownAfter", 1) + Dword("ProblemsFirst", 1));
    TMain main({});
    std::vector<QString> notices;
    main.Notifier()->SetFallbackHook(
        [&](const QString&, const QString& text) { notices.push_back(text); });
    EXPECT_EQ(main.TrayIcon->toolTip(), QStringLiteral("Kestrava Sentrel 1.0\nNot scanning"));
    main.StartActionExecute();
    ASSERT_TRUE(WaitUntil([&] { return main.Scanner->AlertCount(TAlertState::Up) == 3; }));
    ASSERT_TRUE(WaitUntil([&] {
        return main.TrayIcon->toolTip() == QStringLiteral("Kestrava Sentrel 1.0\nAll 3 up");
    }));

    // The workers hold their next echo while gamma's failure is handed over.
    fake.Block();
    TDeviceScanner* gamma = main.Scanner->Scanners()->Items(2);
    ASSERT_EQ(gamma->DisplayName(), "127.0.0.3");
    TqsPingReply reply;
    reply.Result = prTimedOut;
    gamma->HostPingReply(gamma->InternetHost(), &reply);
    EXPECT_EQ(main.List->Item(0)->Caption(), QStringLiteral("127.0.0.3"));
    ASSERT_TRUE(WaitUntil([&] {
        return main.TrayIcon->toolTip() ==
               QStringLiteral("Kestrava Sentrel 1.0\n1 of 3 down: 127.0.0.3");
    }));
    ASSERT_TRUE(WaitUntil([&] { return !notices.empty(); }));
    ASSERT_EQ(notices.size(), 1U);
    EXPECT_TRUE(notices[0].startsWith(QStringLiteral("127.0.0.3 is down (Timed Out) since ")))
        << notices[0].toStdString();
    // As a click on the notice does.
    main.ShowDevice(QStringLiteral("127.0.0.3"));
    EXPECT_TRUE(main.isVisible());
    ASSERT_NE(main.List->Selected(), nullptr);
    EXPECT_EQ(main.List->Selected()->Caption(), QStringLiteral("127.0.0.3"));
    fake.Release();
    main.StopActionExecute();
    ASSERT_TRUE(WaitUntil([&] {
        return main.TrayIcon->toolTip() == QStringLiteral("Kestrava Sentrel 1.0\nNot scanning");
    }));
    EXPECT_EQ(notices.size(), 1U);
}

TEST_F(MainWindowTest, TypingInTheListFiltersItAndEscapeBringsEveryRowBack) {
    WriteSettings(SettingsKey(false, true) + Device("127.0.0.1", 0, true, "this machine") +
                  Device("127.0.0.2", 3, true, "Router upstairs") +
                  Device("localhost", 2, false, "printer"));
    TMain main({});
    main.TimerTimer();
    ASSERT_TRUE(main.isVisible());
    // As before: no bar, the list fills the window below the toolbar.
    EXPECT_FALSE(main.FilterBar->isVisible());
    EXPECT_EQ(main.List->geometry(), main.centralWidget()->rect());
    QLineEdit* field = main.FilterBar->Field();
    main.List->setFocus();

    Type(main.List, Qt::Key_R, QStringLiteral("r"));
    EXPECT_TRUE(main.FilterBar->isVisible());
    EXPECT_EQ(field->text(), QStringLiteral("r"));
    EXPECT_EQ(main.focusWidget(), field);
    EXPECT_EQ(ShownCaptions(*main.List),
              (std::vector<QString>{QStringLiteral("localhost"), QStringLiteral("127.0.0.2")}));
    Type(field, Qt::Key_O, QStringLiteral("O"));
    EXPECT_EQ(ShownCaptions(*main.List), (std::vector<QString>{QStringLiteral("127.0.0.2")}));
    EXPECT_EQ(main.FilterBar->CountLabel()->text(), QStringLiteral("1 of 3 shown"));
    // A status text arriving for a hidden row shows it.
    TqsPingReply reply;
    reply.Result = prTimedOut;
    TDeviceScanner* first = main.Scanner->Scanners()->Items(0);
    field->setText(QStringLiteral("timed o"));
    EXPECT_EQ(main.List->ShownCount(), 0);
    main.ScannerPingReply(first, &reply); // "Timed Out"
    EXPECT_EQ(ShownCaptions(*main.List), (std::vector<QString>{QStringLiteral("127.0.0.1")}));
    EXPECT_EQ(main.FilterBar->CountLabel()->text(), QStringLiteral("1 of 3 shown"));
    // The list built anew keeps the filter.
    main.List->Rebuild();
    EXPECT_EQ(main.List->ShownCount(), 0);
    EXPECT_EQ(main.FilterBar->CountLabel()->text(), QStringLiteral("0 of 3 shown"));

    Type(field, Qt::Key_Escape);
    EXPECT_FALSE(main.FilterBar->isVisible());
    EXPECT_TRUE(field->text().isEmpty());
    EXPECT_EQ(main.List->ShownCount(), 3);
    EXPECT_EQ(main.focusWidget(), main.List);
}

TEST_F(MainWindowTest, KeysLeadFromTheFilterIntoTheListAndEnterOpensTheDeviceLog) {
    WriteSettings(SettingsKey(false, true) + Device("127.0.0.1", 0, true, "this machine") +
                  Device("127.0.0.2", 3, true, "router"));
    TMain main({});
    main.TimerTimer();
    main.List->setFocus();
    Type(main.List, Qt::Key_F, QStringLiteral("f"), Qt::ControlModifier); // a command: no filter
    EXPECT_FALSE(main.FilterBar->isVisible());
    main.FilterBar->Open(QStringLiteral("router"));
    Type(main.FilterBar->Field(), Qt::Key_Down);
    EXPECT_EQ(main.focusWidget(), main.List);
    ASSERT_NE(main.List->Selected(), nullptr);
    EXPECT_EQ(main.List->Selected()->Caption(), QStringLiteral("127.0.0.2"));

    QString caption;
    WhenModalOpens([&](QWidget*) {
        TLogViewerForm* form = main.LogViewer->Form();
        ASSERT_NE(form, nullptr);
        caption = form->windowTitle();
        form->CloseBtn->click();
    });
    Type(main.List, Qt::Key_Return);
    EXPECT_EQ(caption, QStringLiteral("Activity Log for 127.0.0.2"));

    // The Menu key opens the row's menu, as a right click does.
    Type(main.List, Qt::Key_Menu);
    EXPECT_TRUE(main.ListPopup->isVisible());
    main.ListPopup->hide();
}

TEST(AdminSwitch, FirstArgumentOnlyInAnyCaseWithOnePrefix) {
    auto is = [](std::initializer_list<const char*> args) {
        QStringList list;
        for (const char* a : args)
            list << QString::fromUtf8(a);
        return TMain::IsAdminSwitch(list);
    };
    EXPECT_TRUE(is({"admin"}));
    EXPECT_TRUE(is({"\\Admin"}));
    EXPECT_TRUE(is({"-ADMIN", "x"}));
    EXPECT_TRUE(is({"/aDmIn"}));
    EXPECT_FALSE(is({}));
    EXPECT_FALSE(is({"ADMINISTRATOR"}));
    EXPECT_FALSE(is({"x", "ADMIN"}));
    EXPECT_FALSE(is({"--admin"}));
    EXPECT_FALSE(is({"//admin"}));
    EXPECT_FALSE(is({" admin"}));
}

TEST(ErrorReportText, FullStopOnlyAfterCharactersThatSortAfterIt) {
    EXPECT_EQ(ErrorReportText(QStringLiteral("Disk full")), QStringLiteral("Disk full."));
    EXPECT_EQ(ErrorReportText(QStringLiteral("code 7")), QStringLiteral("code 7."));
    EXPECT_EQ(ErrorReportText(QStringLiteral("'x'")), QStringLiteral("'x'")); // ' < .
    EXPECT_EQ(ErrorReportText(QStringLiteral("done.")), QStringLiteral("done."));
    EXPECT_EQ(ErrorReportText(QStringLiteral("why?")), QStringLiteral("why?.")); // ? > .
    EXPECT_EQ(ErrorReportText(QStringLiteral("(x)")), QStringLiteral("(x)"));
    EXPECT_EQ(ErrorReportText(QString()), QString());
}

} // namespace
