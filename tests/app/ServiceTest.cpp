// The console mode as a systemd user service: the unit that
// --install-service writes and systemd reads back, the messages the service
// manager gets on a notify socket of the test's own, and lines for the
// journal. No service manager is started or asked.

#include "platform/ServiceManager.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TempConfig.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using TEnvironment = std::map<std::string, std::string>;

const std::string Settings =
    std::string(QuietSettings) +
    "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\127.0.0.1]\n"
    "\"Host\"=\"127.0.0.1\"\n\"Description\"=\"\"\n\"DeviceType\"=dword:00000000\n"
    "\"Monitored\"=dword:00000001\n";

// A folder of the test's own beside the programs (where running a program is
// sure to be allowed), removed with the object.
struct TempFolder {
    std::string Path;
    TempFolder() {
        std::string pattern = fs::path(SENTREL_PROGRAM).parent_path().string() + "/svc-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr)
            Path = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(Path, ignored);
    }
};

// The program copied into a folder whose name holds what a unit file must
// write with care: a blank, '%', '$' and a byte that is not UTF-8.
struct ProgramCopy {
    TempFolder Folder;
    std::string Dir = Folder.Path + "/bin a %b $c \xff";
    std::string Program = Dir + "/sentrel";
    ProgramCopy() {
        fs::create_directories(Dir);
        fs::copy_file(SENTREL_PROGRAM, Program);
    }
};

struct Outcome {
    int Status = -1;
    std::string Output; // stdout and stderr together
};

// Runs Arguments (the program found on PATH) with Environment added; its
// exit status, -1 when it ended by a signal.
Outcome RunWith(const std::vector<std::string>& Arguments, const TEnvironment& Environment = {}) {
    int out[2];
    if (pipe(out) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        for (const auto& [name, value] : Environment)
            setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> argv;
        for (const std::string& argument : Arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    Outcome outcome;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        outcome.Output.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

std::string FindOnPath(const std::string& Name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/" + Name).c_str(), X_OK) == 0)
            return dir + "/" + Name;
    return {};
}

// A systemctl that only writes down how it was called.
struct FakeSystemctl {
    TempFolder Folder;
    std::string Log = Folder.Path + "/calls";
    FakeSystemctl() {
        const std::string script = Folder.Path + "/systemctl";
        std::ofstream(script) << "#!/bin/sh\necho \"$*\" >> '" << Log << "'\n";
        chmod(script.c_str(), 0755);
    }
    std::string Calls() const {
        std::ifstream in(Log);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

std::string ExecStartLine(const std::string& Unit) {
    const size_t at = Unit.find("\nExecStart=");
    return at == std::string::npos ? "" : Unit.substr(at + 1, Unit.find('\n', at + 1) - at - 1);
}

TEST(UserService, InstallWritesItsOwnPathAndKeepsADifferentUnitUnlessForced) {
    TempConfig config;
    ProgramCopy copy;
    FakeSystemctl systemctl;
    const TEnvironment path{{"PATH", systemctl.Folder.Path}};
    const std::string unit = config.Home() + "/systemd/user/sentrel.service";

    const Outcome first = RunWith({copy.Program, "--install-service"}, path);
    ASSERT_EQ(first.Status, 0) << first.Output;
    const std::string text = config.Read(unit);
    EXPECT_EQ(ExecStartLine(text),
              "ExecStart=:\"" + copy.Folder.Path + "/bin a %%b $c \\xff/sentrel\" --console");
    // Told to read the unit again, never to enable or start it.
    EXPECT_EQ(systemctl.Calls(), "--user daemon-reload\n");
    EXPECT_NE(first.Output.find("systemctl --user enable --now sentrel"), std::string::npos);
    EXPECT_NE(first.Output.find("journalctl --user -u sentrel -f"), std::string::npos);

    const Outcome again = RunWith({copy.Program, "--install-service"}, path);
    EXPECT_EQ(again.Status, 0) << again.Output;
    EXPECT_EQ(config.Read(unit), text);

    // A unit the user changed is kept until --force is given.
    const std::string edited = text + "Environment=EDITED=1\n";
    config.Write(unit, edited);
    const Outcome refused = RunWith({copy.Program, "--install-service"}, path);
    EXPECT_EQ(refused.Status, 1);
    EXPECT_NE(refused.Output.find("--force"), std::string::npos) << refused.Output;
    EXPECT_EQ(config.Read(unit), edited);
    const Outcome forced = RunWith({copy.Program, "--install-service", "--force"}, path);
    EXPECT_EQ(forced.Status, 0) << forced.Output;
    EXPECT_EQ(config.Read(unit), text);
    EXPECT_EQ(RunWith({copy.Program, "--force"}).Status, 2);

    // A path that systemd would not run is refused before anything is written.
    const std::string quoted = copy.Folder.Path + "/it's";
    fs::create_directories(quoted);
    fs::create_hard_link(copy.Program, quoted + "/sentrel");
    fs::remove(unit);
    const Outcome unusable = RunWith({quoted + "/sentrel", "--install-service"}, path);
    EXPECT_EQ(unusable.Status, 1);
    EXPECT_NE(unusable.Output.find("quote"), std::string::npos) << unusable.Output;
    EXPECT_FALSE(fs::exists(unit));
}

TEST(UserService, InstalledUnitPassesSystemdAnalyzeVerify) {
    const std::string analyze = FindOnPath("systemd-analyze");
    if (analyze.empty())
        GTEST_SKIP() << "systemd-analyze is not installed (Debian package systemd)";
    TempConfig config;
    ProgramCopy copy;
    FakeSystemctl systemctl;
    ASSERT_EQ(
        RunWith({copy.Program, "--install-service"}, {{"PATH", systemctl.Folder.Path}}).Status, 0);
    // The user manager's checks, run without one: it needs a runtime folder only.
    TempFolder runtime;
    chmod(runtime.Path.c_str(), 0700);
    const Outcome verify =
        RunWith({analyze, "--user", "verify", config.Home() + "/systemd/user/sentrel.service"},
                {{"XDG_RUNTIME_DIR", runtime.Path}});
    EXPECT_EQ(verify.Status, 0) << verify.Output;
    // Warnings (an unknown key, say) leave the status 0.
    EXPECT_EQ(verify.Output, "");
}

// A notify socket as the service manager keeps one.
struct NotifyListener {
    TempFolder Folder;
    std::string Path = Folder.Path + "/notify";
    int Fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::vector<std::string> Messages;

    NotifyListener() {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (Path.size() < sizeof(address.sun_path))
            Path.copy(address.sun_path, Path.size());
        if (bind(Fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            close(Fd);
            Fd = -1;
        }
    }
    ~NotifyListener() {
        if (Fd >= 0)
            close(Fd);
    }
    // Reads messages until one holds Line (a line of its own), at most 30 s.
    bool WaitFor(const std::string& Line, int Times = 1) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (Count(Line) < Times && std::chrono::steady_clock::now() < deadline) {
            pollfd p{Fd, POLLIN, 0};
            if (poll(&p, 1, 200) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = recv(Fd, buffer, sizeof buffer, 0);
            if (n > 0)
                Messages.emplace_back(buffer, static_cast<size_t>(n));
        }
        return Count(Line) >= Times;
    }
    // Takes what has arrived without waiting.
    void Drain() {
        char buffer[4096];
        for (ssize_t n; (n = recv(Fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            Messages.emplace_back(buffer, static_cast<size_t>(n));
    }
    int Count(const std::string& Line) const {
        int count = 0;
        for (const std::string& message : Messages)
            count += ("\n" + message + "\n").find("\n" + Line + "\n") != std::string::npos;
        return count;
    }
    // The index of the first message holding Line, -1 when none does.
    int First(const std::string& Line) const {
        for (size_t i = 0; i < Messages.size(); ++i)
            if (("\n" + Messages[i] + "\n").find("\n" + Line + "\n") != std::string::npos)
                return static_cast<int>(i);
        return -1;
    }
};

// Starts the console with Environment added and its output into Out.
pid_t StartConsole(const TEnvironment& Environment, int Out, bool WatchdogForIt = false) {
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(Out, STDOUT_FILENO);
        for (const auto& [name, value] : Environment)
            setenv(name.c_str(), value.c_str(), 1);
        if (WatchdogForIt)
            setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
        execl(SENTREL_PROGRAM, SENTREL_PROGRAM, "--console", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

int ExitStatus(pid_t Pid) {
    int status = 0;
    waitpid(Pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(UserService, TellsTheManagerReadyStatusWatchdogAndStoppingInOrder) {
    TempConfig config;
    config.Write(config.SettingsFile(), Settings);
    NotifyListener manager;
    ASSERT_GE(manager.Fd, 0);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid =
        StartConsole({{"NOTIFY_SOCKET", manager.Path}, {"WATCHDOG_USEC", "300000"}}, null, true);
    close(null);
    ASSERT_GT(pid, 0);
    const bool ready = manager.WaitFor("READY=1");
    // The main loop keeps pinging while it runs.
    const bool pinged = ready && manager.WaitFor("WATCHDOG=1", 3);
    kill(pid, SIGTERM);
    const bool stopping = manager.WaitFor("STOPPING=1");
    EXPECT_EQ(ExitStatus(pid), 0);
    ASSERT_TRUE(ready && stopping);
    EXPECT_TRUE(pinged);
    const int readyAt = manager.First("READY=1");
    EXPECT_LT(readyAt, manager.First("STOPPING=1"));
    EXPECT_EQ(manager.Messages[static_cast<size_t>(readyAt)],
              "READY=1\nSTATUS=Scanning 1 device, 0 down");
}

TEST(UserService, AFailedStartIsToldAsStatusAndNeverAsReady) {
    TempConfig config;
    config.Write(config.SettingsFile(),
                 "Windows Registry Editor Version 5.00\n\n"
                 "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0]\n\"AutoScan\"=dword:0\n");
    NotifyListener manager;
    ASSERT_GE(manager.Fd, 0);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = StartConsole({{"NOTIFY_SOCKET", manager.Path}}, null);
    close(null);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(ExitStatus(pid), 1);
    // Everything it sent is in the socket by now.
    manager.Drain();
    ASSERT_EQ(manager.Messages.size(), 1u);
    EXPECT_EQ(manager.Messages[0].rfind("STATUS=Failed: ", 0), 0u) << manager.Messages[0];
}

// Reads the console's lines until Lines have come or 20 s have passed.
std::vector<std::string> ReadLines(int Fd, size_t Lines) {
    std::vector<std::string> lines;
    std::string partial;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (lines.size() < Lines && std::chrono::steady_clock::now() < deadline) {
        pollfd p{Fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        char buffer[512];
        const ssize_t n = read(Fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != '\n') {
                partial += buffer[i];
                continue;
            }
            lines.push_back(partial);
            partial.clear();
        }
    }
    return lines;
}

// The journal stamps each line itself and reads its priority from a <N>
// prefix; only output that is the journal's stream gets that form.
TEST(UserService, LinesForTheJournalOnlyWhenTheOutputIsTheJournalStream) {
    for (const bool journal : {true, false}) {
        SCOPED_TRACE(journal ? "output is the journal" : "the journal is another stream");
        TempConfig config;
        config.Write(config.SettingsFile(), Settings);
        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        const int other = open("/dev/null", O_WRONLY | O_CLOEXEC);
        struct stat named {};
        fstat(journal ? out[1] : other, &named);
        const pid_t pid = StartConsole(
            {{"JOURNAL_STREAM", std::to_string(named.st_dev) + ":" + std::to_string(named.st_ino)}},
            out[1]);
        close(out[1]);
        close(other);
        ASSERT_GT(pid, 0);
        const std::vector<std::string> lines = ReadLines(out[0], 2);
        kill(pid, SIGTERM);
        EXPECT_EQ(ExitStatus(pid), 0);
        close(out[0]);
        ASSERT_EQ(lines.size(), 2u);
        if (journal) {
            EXPECT_EQ(lines[0].rfind("<6>Kestrava Sentrel: 1 devices from ", 0), 0u) << lines[0];
            EXPECT_EQ(lines[1], "<6>127.0.0.1   Connected");
        } else {
            EXPECT_EQ(lines[0].rfind("Kestrava Sentrel: 1 devices from ", 0), 0u) << lines[0];
            // After the date and time, as on a terminal.
            const size_t at = lines[1].find("127.0.0.1   Connected");
            EXPECT_NE(at, std::string::npos) << lines[1];
            EXPECT_GT(at, 0u) << lines[1];
            EXPECT_NE(lines[1][0], '<');
        }
    }
}

// A text that reaches the status (an error message, a host) cannot add a
// message of its own, such as a readiness or a new main process.
TEST(ServiceManager, ControlCharactersInAStatusStayInsideIt) {
    NotifyListener manager;
    ASSERT_GE(manager.Fd, 0);
    setenv("NOTIFY_SOCKET", manager.Path.c_str(), 1);
    const platform::TServiceManager service;
    service.Status("lost\nMAINPID=1\rREADY=1");
    unsetenv("NOTIFY_SOCKET");
    // A local datagram is in the socket once it is sent.
    manager.Drain();
    EXPECT_EQ(manager.Messages, std::vector<std::string>{"STATUS=lost MAINPID=1 READY=1"});
}

} // namespace
