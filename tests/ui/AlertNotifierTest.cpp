// Notices through a real notification service: a private session bus, and
// dunst on an X display of its own, whose history tells what it was given.

#include "ui/AlertNotifier.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;

// Starts Argv with Env added to this environment; its standard output goes
// to OutFd as descriptor Target (or nowhere), its errors nowhere.
pid_t Spawn(const std::vector<std::string>& Argv, const std::vector<std::string>& Env,
            int OutFd = -1, int Target = STDOUT_FILENO) {
    std::vector<std::string> env = Env;
    for (char** e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    std::vector<char*> argv;
    std::vector<char*> envp;
    for (const std::string& a : Argv)
        argv.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (OutFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, OutFd, Target);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// A process ended by the test, however the test ends.
struct TChild {
    pid_t Pid = -1;
    TChild() = default;
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;
    ~TChild() {
        if (Pid <= 0)
            return;
        kill(Pid, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            if (waitpid(Pid, nullptr, WNOHANG) == Pid)
                return;
            std::this_thread::sleep_for(10ms);
        }
        kill(Pid, SIGKILL);
        waitpid(Pid, nullptr, 0);
    }
};

// What a child writes to the pipe's read end Fd, up to the first line break
// or the end; empty after 10 s.
std::string ReadFrom(int Fd, bool LineOnly) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{Fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = read(Fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
        if (LineOnly && text.find('\n') != std::string::npos)
            return text.substr(0, text.find('\n'));
    }
    return LineOnly ? std::string() : text;
}

template <typename Condition> bool WaitFor(Condition Done) {
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (!Done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TAlertChange Change(const std::string& Host, TAlertState State, TDateTime Since,
                    TDateTime OldSince = 0) {
    TAlertChange change;
    change.Host = Host;
    change.OldState = State == TAlertState::Down ? TAlertState::Up : TAlertState::Down;
    change.NewState = State;
    change.Result = State == TAlertState::Down ? prTimedOut : prSuccess;
    change.Since = Since;
    change.OldSince = OldSince;
    return change;
}

const TDateTime At140211 = EncodeDateTime({2024, 5, 6, 14, 2, 11, 0});

class AlertNotifierTest : public ::testing::Test {
protected:
    // A private bus, with dunst serving it when WithService.
    void StartDesktop(bool WithService) {
        for (const char* program : {"dbus-daemon", "dunst", "dunstctl", "Xvfb"})
            if (!std::filesystem::exists(std::string("/usr/bin/") + program))
                GTEST_SKIP() << program << " is not installed (dbus-daemon, dunst, xvfb)";
        ASSERT_TRUE(FDir.isValid());
        const std::string dir = FDir.path().toStdString();
        std::ofstream(dir + "/bus.conf")
            << "<busconfig><type>session</type><listen>unix:path=" << dir
            << "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
               "<allow own=\"*\"/></policy></busconfig>\n";
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        FBusDaemon.Pid = Spawn(
            {"dbus-daemon", "--config-file=" + dir + "/bus.conf", "--nofork", "--print-address"},
            {}, fds[1]);
        close(fds[1]);
        FAddress = ReadFrom(fds[0], true);
        close(fds[0]);
        ASSERT_FALSE(FAddress.empty()) << "the test's bus did not start";
        FBus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(
            QString::fromStdString(FAddress), QStringLiteral("alert-notifier-test")));
        ASSERT_TRUE(FBus->isConnected());
        if (!WithService)
            return;

        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        FX.Pid = Spawn({"Xvfb", "-displayfd", "3", "-nolisten", "tcp"}, {}, fds[1], 3);
        close(fds[1]);
        const std::string display = ReadFrom(fds[0], true);
        close(fds[0]);
        ASSERT_FALSE(display.empty()) << "Xvfb did not start";
        std::ofstream(dir + "/dunstrc") << "[global]\n";
        FDunst.Pid = Spawn({"dunst", "-config", dir + "/dunstrc"}, {"DISPLAY=:" + display, Env()});
        ASSERT_TRUE(WaitFor([&] {
            return FBus->interface()
                ->isServiceRegistered(QStringLiteral("org.freedesktop.Notifications"))
                .value();
        })) << "dunst did not take the notification service";
    }

    void TearDown() override {
        if (FBus)
            QDBusConnection::disconnectFromBus(FBus->name());
    }

    std::string Env() const { return "DBUS_SESSION_BUS_ADDRESS=" + FAddress; }

    std::string Dunstctl(const std::vector<std::string>& Arguments) const {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return {};
        std::vector<std::string> argv{"dunstctl"};
        argv.insert(argv.end(), Arguments.begin(), Arguments.end());
        const pid_t pid = Spawn(argv, {Env()}, fds[1]);
        close(fds[1]);
        std::string out = ReadFrom(fds[0], false);
        close(fds[0]);
        if (pid > 0)
            waitpid(pid, nullptr, 0);
        return out;
    }

    int Displayed() const { return std::atoi(Dunstctl({"count", "displayed"}).c_str()); }

    // The summaries of the notices dunst was given, newest first: those shown
    // are closed into its history, which is then read.
    std::vector<std::string> Given() const {
        Dunstctl({"close-all"});
        const QJsonObject history =
            QJsonDocument::fromJson(QByteArray::fromStdString(Dunstctl({"history"}))).object();
        std::vector<std::string> summaries;
        const QJsonArray notices = history[QStringLiteral("data")].toArray().at(0).toArray();
        for (const QJsonValue notice : notices)
            summaries.push_back(
                notice[QStringLiteral("summary")][QStringLiteral("data")].toString().toStdString());
        return summaries;
    }

    QTemporaryDir FDir;
    TChild FBusDaemon;
    TChild FX;
    TChild FDunst;
    std::string FAddress;
    std::unique_ptr<QDBusConnection> FBus;
};

// Activating a notice names its host; "up again" replaces the notice of the
// same host going down.
TEST_F(AlertNotifierTest, NoticesTellTheirTextsAndActivateTheirHost) {
    StartDesktop(true);
    if (IsSkipped() || HasFatalFailure())
        return;
    TAlertNotifier notifier(*FBus);
    notifier.SetGatherTime(50ms);
    int fallbacks = 0;
    notifier.SetFallbackHook([&](const QString&, const QString&) { ++fallbacks; });
    QSignalSpy activated(&notifier, &TAlertNotifier::Activated);

    notifier.Add(Change("printer-2F", TAlertState::Down, At140211));
    ASSERT_TRUE(WaitFor([&] { return Displayed() == 1; }));
    notifier.Add(Change("printer-2F", TAlertState::Up, At140211 + 252.0 / 86400, At140211));
    notifier.Add(Change("core-sw", TAlertState::Down, At140211));
    // Sent in this order: once core-sw's is shown, printer-2F's is too.
    ASSERT_TRUE(WaitFor([&] { return Displayed() >= 2; }));
    std::vector<std::string> given = Given();
    std::sort(given.begin(), given.end());
    EXPECT_EQ(given, std::vector<std::string>({"core-sw is down (Timed Out) since 14:02:11",
                                               "printer-2F is up again after 4 min 12 s"}));
    EXPECT_EQ(fallbacks, 0);

    notifier.Add(Change("ap-3", TAlertState::Down, At140211));
    ASSERT_TRUE(WaitFor([&] { return Displayed() == 1; }));
    // dunst invokes the default action of the notice it shows first.
    Dunstctl({"action", "0"});
    ASSERT_TRUE(WaitFor([&] { return !activated.isEmpty(); }));
    EXPECT_EQ(activated.at(0).at(0).toString().toStdString(), "ap-3");
}

// Markup in a host name arrives as text; a burst makes one summary.
TEST_F(AlertNotifierTest, ABurstGivesOneSummary) {
    StartDesktop(true);
    if (IsSkipped() || HasFatalFailure())
        return;
    TAlertNotifier notifier(*FBus);
    notifier.SetGatherTime(50ms);
    notifier.Add(Change("<b>x</b>&amp;", TAlertState::Down, At140211));
    for (int i = 1; i < 12; ++i)
        notifier.Add(Change("h" + std::to_string(i), TAlertState::Down, At140211));
    ASSERT_TRUE(WaitFor([&] { return !Given().empty(); }));
    // Notices on one connection arrive in order: once a later one is there,
    // any other of the burst would be too.
    notifier.Add(Change("last", TAlertState::Down, At140211));
    ASSERT_TRUE(WaitFor([&] { return Given().size() >= 2; }));
    EXPECT_EQ(Given(), std::vector<std::string>(
                           {"last is down (Timed Out) since 14:02:11",
                            "12 devices down: <b>x</b>&amp;, h1, h2, h3, h4 and 7 more"}));
}

// Without a service the fallback shows the notices, still one for a burst
// however large.
TEST_F(AlertNotifierTest, WithoutAServiceTheFallbackTellsIt) {
    StartDesktop(false);
    if (IsSkipped() || HasFatalFailure())
        return;
    TAlertNotifier notifier(*FBus);
    notifier.SetGatherTime(50ms);
    std::vector<std::string> told;
    notifier.SetFallbackHook([&](const QString& Title, const QString& Text) {
        EXPECT_EQ(Title.toStdString(), "Kestrava Sentrel");
        told.push_back(Text.toStdString());
    });
    for (int i = 0; i < 10000; ++i)
        notifier.Add(Change("h" + std::to_string(i), TAlertState::Down, At140211));
    ASSERT_TRUE(WaitFor([&] { return !told.empty(); }));
    notifier.Add(Change("last", TAlertState::Down, At140211));
    ASSERT_TRUE(WaitFor([&] { return told.size() >= 2; }));
    EXPECT_EQ(told,
              std::vector<std::string>({"10000 devices down: h0, h1, h2, h3, h4 and 9995 more",
                                        "last is down (Timed Out) since 14:02:11"}));
}

TEST_F(AlertNotifierTest, WithoutABusNothingFails) {
    const QDBusConnection none = QDBusConnection::connectToBus(
        QStringLiteral("unix:path=/nonexistent/sentrel-bus"), QStringLiteral("no-bus"));
    // A hidden tray icon cannot show a message: the notice is dropped.
    QSystemTrayIcon tray;
    TAlertNotifier dropping(none);
    dropping.SetGatherTime(1ms);
    dropping.SetFallback(&tray);
    dropping.Add(Change("core-sw", TAlertState::Down, At140211));

    TAlertNotifier notifier(none);
    notifier.SetGatherTime(1ms);
    std::vector<std::string> told;
    notifier.SetFallbackHook(
        [&](const QString&, const QString& Text) { told.push_back(Text.toStdString()); });
    notifier.Add(Change("core-sw", TAlertState::Down, At140211));
    ASSERT_TRUE(WaitFor([&] { return !told.empty(); }));
    EXPECT_EQ(told, std::vector<std::string>{"core-sw is down (Timed Out) since 14:02:11"});

    // Devices going down one after another over more than the gathering
    // time, as their probes fall due, still make one summary.
    told.clear();
    notifier.SetGatherTime(300ms);
    for (int i = 0; i < 8; ++i) {
        notifier.Add(Change("h" + std::to_string(i), TAlertState::Down, At140211));
        QTest::qWait(60);
    }
    ASSERT_TRUE(WaitFor([&] { return !told.empty(); }));
    QTest::qWait(400);
    EXPECT_EQ(told, std::vector<std::string>{"8 devices down: h0, h1, h2, h3, h4 and 3 more"});
    QDBusConnection::disconnectFromBus(none.name());
}

} // namespace
