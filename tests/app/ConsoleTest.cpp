// The console mode as a user runs it: the real program, a settings folder of
// its own, loopback devices only, ended by a signal.

#include "tests/platform/Netns.h"
#include "tests/support/RunProgram.h"
#include "tests/support/SlowNameServer.h"
#include "tests/support/TempConfig.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

const std::string Settings =
    std::string(QuietSettings) +
    "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\127.0.0.1]\n"
    "\"Host\"=\"127.0.0.1\"\n\"Description\"=\"\"\n\"DeviceType\"=dword:00000000\n"
    "\"Monitored\"=dword:00000001\n"
    "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\127.0.0.2]\n"
    "\"Host\"=\"127.0.0.2\"\n\"Description\"=\"\"\n\"DeviceType\"=dword:00000003\n"
    "\"Monitored\"=dword:00000001\n";

struct Child {
    pid_t Pid = -1;
    int Out = -1;
};

// Extra arguments follow --console; Err, when given, takes the child's stderr.
Child StartConsole(std::vector<std::string> Extra = {}, std::FILE* Err = nullptr) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return {};
    Extra.insert(Extra.begin(), "--console");
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        if (Err != nullptr)
            dup2(fileno(Err), STDERR_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        ExecProgram(SENTREL_PROGRAM, Extra);
    }
    close(pipeFds[1]);
    return {pid, pipeFds[0]};
}

// Reads what the child prints until Lines lines have arrived or time is up.
std::string ReadLines(int fd, int lines) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int seen = 0;
    while (seen < lines && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        char buffer[512];
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i)
            seen += buffer[i] == '\n';
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// Waits for the child to end; a child still running after 20 s is killed, so a
// hang fails the test instead of blocking the suite.
int WaitForExit(pid_t pid) {
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    pollfd p{fd, POLLIN, 0};
    if (fd < 0 || poll(&p, 1, 20000) <= 0)
        kill(pid, SIGKILL);
    if (fd >= 0)
        close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

bool SavedOnExit(const TempConfig& config) {
    return config.Read(config.SettingsFile())
               .find("[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Form]") !=
           std::string::npos;
}

TEST(ConsoleMode, PrintsChangesAndOnSigtermStopsSavesAndExitsZero) {
    TempConfig config;
    config.Write(config.SettingsFile(), Settings);
    Child child = StartConsole();
    ASSERT_GT(child.Pid, 0);
    // The banner, then one change per device.
    const std::string out = ReadLines(child.Out, 3);
    EXPECT_NE(out.find("127.0.0.1   Connected"), std::string::npos) << out;
    EXPECT_NE(out.find("127.0.0.2   Connected"), std::string::npos) << out;
    kill(child.Pid, SIGTERM);
    int status = 0;
    waitpid(child.Pid, &status, 0);
    close(child.Out);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The settings were saved, in the program's own layout.
    const std::string saved = config.Read(config.SettingsFile());
    EXPECT_NE(saved.find("\"DeviceLogSize\"=dword:00000031"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\n\n[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Form]"),
              std::string::npos)
        << saved;
    EXPECT_NE(saved.find("\"Host\"=\"127.0.0.2\""), std::string::npos);
}

// A closed terminal (SIGHUP) and a reader that went away (`| head -1`), before
// or after the first lines, all end as SIGTERM does: stopped, saved, status 0.
TEST(ConsoleMode, HangupAndClosedOutputStopSaveAndExitZero) {
    struct Case {
        const char* Name;
        int LinesRead;
        bool Hangup;
    };
    for (const Case c : {Case{"SIGHUP", 3, true}, Case{"closed before the banner", 0, false},
                         Case{"closed after the first changes", 3, false}}) {
        SCOPED_TRACE(c.Name);
        TempConfig config;
        config.Write(config.SettingsFile(), Settings);
        Child child = StartConsole();
        ASSERT_GT(child.Pid, 0);
        const std::string out = ReadLines(child.Out, c.LinesRead);
        if (c.Hangup)
            kill(child.Pid, SIGHUP);
        else
            close(child.Out);
        const int status = WaitForExit(child.Pid);
        if (c.Hangup)
            close(child.Out);
        ASSERT_TRUE(WIFEXITED(status)) << out;
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_TRUE(SavedOnExit(config));
    }
}

// Runs in a child inside a private network namespace: the console scans five
// names its name server never answers and one address, and is ended while
// the lookups are in flight. The failures, one a line; empty when all pass.
std::string SigtermWithLookupsInFlight() {
    if (const std::string why = UseLoopbackNameServer(); !why.empty())
        return "SKIP: " + why;
    std::map<std::string, std::string> names;
    std::string settings = Settings;
    for (int i = 1; i <= 5; ++i) {
        const std::string name = "silent" + std::to_string(i) + ".sentrel.test";
        names[name] = "127.0.0.9"; // never released
        settings += "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\" + name +
                    "]\n\"Host\"=\"" + name +
                    "\"\n\"Description\"=\"\"\n\"DeviceType\"=dword:00000000\n"
                    "\"Monitored\"=dword:00000001\n";
    }
    SlowNameServer server(names);
    if (!server.Error().empty())
        return server.Error();
    TempConfig config;
    config.Write(config.SettingsFile(), settings);
    Child child = StartConsole();
    if (child.Pid <= 0)
        return "could not start the program";
    std::string failures;
    const std::string out = ReadLines(child.Out, 3);
    if (out.find("127.0.0.2   Connected") == std::string::npos)
        failures += "no reply of the device given by address: " + out + "\n";
    if (!server.WaitUntilAsked(5))
        failures += "not every name was asked about\n";
    kill(child.Pid, SIGTERM);
    const int status = WaitForExit(child.Pid);
    close(child.Out);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        failures += "did not exit with 0 on SIGTERM: status " + std::to_string(status) + "\n";
    if (server.Answered() != 0)
        failures += "a lookup ended before the program did\n";
    if (!SavedOnExit(config))
        failures += "not saved on exit\n";
    return failures;
}

TEST(ConsoleMode, SigtermEndsItWhileNameLookupsAreInFlight) {
    static const std::string unavailable = netns::UnavailableReason();
    if (!unavailable.empty())
        GTEST_SKIP() << "Skipping the slow name server test: " << unavailable;
    const std::string prefix = "sentrel-console-dns-";
    netns::RemoveLeftovers(prefix);
    std::string failures;
    try {
        netns::Namespace ns(prefix + std::to_string(getpid()));
        failures = ns.RunInside(&SigtermWithLookupsInFlight, std::chrono::seconds(60));
    } catch (const std::exception& e) {
        FAIL() << e.what();
    }
    if (failures.starts_with("SKIP: "))
        GTEST_SKIP() << failures.substr(6);
    EXPECT_EQ(failures, "");
}

TEST(ConsoleMode, UnreadableSettingsAreReportedWithExitOne) {
    TempConfig config;
    config.Write(config.SettingsFile(),
                 "Windows Registry Editor Version 5.00\n\n"
                 "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0]\n\"AutoScan\"=dword:0\n");
    Child child = StartConsole();
    ASSERT_GT(child.Pid, 0);
    int status = 0;
    waitpid(child.Pid, &status, 0);
    close(child.Out);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    // Kept aside, and nothing saved in its place.
    const auto folder = std::filesystem::path(config.SettingsFile()).parent_path();
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (!name.ends_with(".lock") && !name.ends_with(".instance"))
            names.push_back(name);
    }
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(names[0].starts_with("settings.reg.broken-")) << names[0];
}

// A loopback port nobody listens on now.
int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// One GET of /metrics on 127.0.0.1:Port: the whole answer, "" when none came.
std::string Scrape(int Port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(Port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                "Connection: close\r\n\r\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size()))
        for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 5000) > 0;) {
            char buffer[4096];
            const ssize_t n = read(fd, buffer, sizeof(buffer));
            if (n <= 0)
                break;
            answer.append(buffer, static_cast<size_t>(n));
        }
    close(fd);
    return answer;
}

// The line of the device Host in a scrape's series Name, "" when none.
std::string Series(const std::string& Body, const std::string& Name, const std::string& Host) {
    const std::string start = "\n" + Name + "{";
    for (size_t at = Body.find(start); at != std::string::npos; at = Body.find(start, at + 1)) {
        const std::string line = Body.substr(at + 1, Body.find('\n', at + 1) - at - 1);
        if (line.find("host=\"" + Host + "\"") != std::string::npos)
            return line;
    }
    return "";
}

TEST(ConsoleMode, ServesTheDevicesMetricsWhereAsked) {
    TempConfig config;
    config.Write(config.SettingsFile(), Settings);
    // A port free a moment ago; the port alone stands for 127.0.0.1.
    const int port = FreePort();
    Child child = StartConsole({"--metrics=" + std::to_string(port)});
    ASSERT_GT(child.Pid, 0);
    const std::string out = ReadLines(child.Out, 2);
    EXPECT_NE(out.find("Kestrava Sentrel: metrics on http://127.0.0.1:" + std::to_string(port) +
                       "/metrics\n"),
              std::string::npos)
        << out;
    // Scraped until both devices have answered: the scrapes are the means.
    std::string body;
    for (int i = 0; i < 100; ++i) {
        body = Scrape(port);
        if (Series(body, "sentrel_device_up", "127.0.0.1").ends_with(" 1") &&
            Series(body, "sentrel_device_up", "127.0.0.2").ends_with(" 1"))
            break;
        usleep(100000);
    }
    EXPECT_EQ(body.rfind("HTTP/1.", 0), 0u) << body;
    const std::string router = Series(body, "sentrel_device_up", "127.0.0.2");
    EXPECT_TRUE(router.ends_with(" 1")) << body;
    EXPECT_NE(router.find("type=\"Router\""), std::string::npos) << router;
    EXPECT_TRUE(Series(body, "sentrel_device_up", "127.0.0.1").ends_with(" 1")) << body;
    kill(child.Pid, SIGTERM);
    const int status = WaitForExit(child.Pid);
    close(child.Out);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The command line's address is not the settings': nothing of it is saved.
    EXPECT_NE(config.Read(config.SettingsFile()).find("\"Address\"=\"\"\n"), std::string::npos);
}

// A bad address or a port taken, from the command line or the settings: one
// sentence on stderr and status 1 before any echo, the settings untouched.
TEST(ConsoleMode, MetricsThatCannotBeServedEndItWithExitOne) {
    const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string busy = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    const std::string metricsKey =
        "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Metrics]\n";
    const struct {
        std::vector<std::string> Arguments;
        std::string Setting;
        std::string Said;
    } cases[] = {
        {{"--metrics", busy}, "", "Cannot serve metrics on " + busy},
        {{"--metrics=127.0.0.1:99999"}, "", "--metrics: "},
        {{}, "\"Address\"=\"" + busy + "\"\n", "Cannot serve metrics on " + busy},
        {{}, "\"Address\"=\"localhost\"\n", "The metrics address of the settings: "},
    };
    for (const auto& c : cases) {
        TempConfig config;
        const std::string settings = Settings + (c.Setting.empty() ? "" : metricsKey + c.Setting);
        config.Write(config.SettingsFile(), settings);
        std::FILE* err = std::tmpfile();
        Child child = StartConsole(c.Arguments, err);
        ASSERT_GT(child.Pid, 0);
        const int status = WaitForExit(child.Pid);
        const std::string out = ReadLines(child.Out, 100);
        close(child.Out);
        std::rewind(err);
        std::string text;
        for (int ch; (ch = std::fgetc(err)) != EOF;)
            text += static_cast<char>(ch);
        std::fclose(err);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << c.Said;
        EXPECT_NE(text.find("Kestrava Sentrel: " + c.Said), std::string::npos) << text;
        EXPECT_EQ(out.find("Connected"), std::string::npos) << out;
        EXPECT_EQ(config.Read(config.SettingsFile()), settings);
    }
    close(taken);
}

} // namespace
