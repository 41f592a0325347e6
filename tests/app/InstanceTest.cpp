// One running copy per settings file, with the real program: a second copy
// beside a first one, and a first one killed outright.

#include "tests/support/RunProgram.h"
#include "tests/support/TempConfig.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

struct Copy {
    pid_t Pid = -1;
    int Out = -1; // the read end of its stdout
    std::FILE* Err = nullptr;
};

// Window copies run on the offscreen platform.
Copy Start(const std::vector<std::string>& Arguments) {
    Copy copy;
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return copy;
    copy.Err = std::tmpfile();
    copy.Pid = fork();
    if (copy.Pid == 0) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(fileno(copy.Err), STDERR_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        ExecProgram(SENTREL_PROGRAM, Arguments);
    }
    close(pipeFds[1]);
    copy.Out = pipeFds[0];
    return copy;
}

// The exit status; -1 when it ended by a signal, -2 when it still ran after
// 30 seconds (it is then killed).
int Finish(Copy& Copy) {
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, Copy.Pid, 0));
    pollfd p{pidFd, POLLIN, 0};
    const bool ended = pidFd < 0 || poll(&p, 1, 30000) == 1;
    if (pidFd >= 0)
        close(pidFd);
    if (!ended)
        kill(Copy.Pid, SIGKILL);
    int status = 0;
    waitpid(Copy.Pid, &status, 0);
    close(Copy.Out);
    if (!ended)
        return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Errors(Copy& Copy) {
    std::rewind(Copy.Err);
    std::string text;
    for (int c; (c = std::fgetc(Copy.Err)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(Copy.Err);
    return text;
}

// Runs a copy to its end; its status and stderr.
std::pair<int, std::string> RunToEnd(const std::vector<std::string>& Arguments) {
    Copy copy = Start(Arguments);
    const int status = Finish(copy);
    return {status, Errors(copy)};
}

// Waits for the console's banner, which it prints once it runs.
bool ConsoleRuns(const Copy& Copy) {
    std::string text;
    while (text.find('\n') == std::string::npos) {
        pollfd p{Copy.Out, POLLIN, 0};
        char buffer[256];
        ssize_t n = 0;
        if (poll(&p, 1, 30000) != 1 || (n = read(Copy.Out, buffer, sizeof(buffer))) <= 0)
            return false;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text.find("Ctrl-C stops") != std::string::npos;
}

// Waits until a window copy catches SIGTERM, which it does only once the
// settings file is its own.
bool WindowRuns(const Copy& Copy) {
    return WaitUntilCatchingSigterm(Copy.Pid);
}

int Stop(Copy& Copy) {
    kill(Copy.Pid, SIGTERM);
    const int status = Finish(Copy);
    Errors(Copy);
    return status;
}

std::string Busy(pid_t Pid, const std::string& What) {
    return "Kestrava Sentrel: already running (pid " + std::to_string(Pid) + ", " + What + ")";
}

TEST(SecondCopy, BesideAConsoleEndsWithExitOneNamingIt) {
    TempConfig config;
    Copy first = Start({"--console"});
    ASSERT_TRUE(ConsoleRuns(first));
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--console"}, {}, {"admin"}}) {
        const auto [status, errors] = RunToEnd(arguments);
        EXPECT_EQ(status, 1) << errors;
        EXPECT_EQ(errors, Busy(first.Pid, "console mode") + "\n");
    }
    // The first runs on and saves as ever.
    EXPECT_EQ(Stop(first), 0);
    EXPECT_NE(config.Read(config.SettingsFile()).find("[HKEY_CURRENT_USER"), std::string::npos);
}

// The second window copy ends with 0 only once the first has answered that
// its window is shown.
TEST(SecondCopy, BesideAWindowBringsItForwardOrEndsWithExitOne) {
    TempConfig config;
    Copy first = Start({});
    ASSERT_TRUE(WindowRuns(first));
    for (int i = 0; i < 2; ++i) {
        const auto [status, errors] = RunToEnd({"-style", "fusion"});
        EXPECT_EQ(status, 0) << errors;
        EXPECT_EQ(errors.find("already running"), std::string::npos) << errors;
    }
    auto [status, errors] = RunToEnd({"--console"});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(errors, Busy(first.Pid, "the window program") + "\n");
    // A window in user mode would not give the administration options.
    std::tie(status, errors) = RunToEnd({"-ADMIN"});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(errors,
              Busy(first.Pid, "the window program") + "; end it to start in administration mode\n");
    EXPECT_EQ(Stop(first), 0);

    Copy admin = Start({"admin"});
    ASSERT_TRUE(WindowRuns(admin));
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{"admin"}, {}}) {
        std::tie(status, errors) = RunToEnd(arguments);
        EXPECT_EQ(status, 0) << errors;
    }
    EXPECT_EQ(Stop(admin), 0);
}

TEST(SecondCopy, ACopyKilledOutrightNeverBlocksTheNext) {
    TempConfig config;
    Copy console = Start({"--console"});
    ASSERT_TRUE(ConsoleRuns(console));
    kill(console.Pid, SIGKILL);
    EXPECT_EQ(Finish(console), -1);
    Errors(console);

    // A window that has answered a later copy leaves its socket behind.
    Copy window = Start({});
    ASSERT_TRUE(WindowRuns(window));
    EXPECT_EQ(RunToEnd({}).first, 0);
    kill(window.Pid, SIGKILL);
    EXPECT_EQ(Finish(window), -1);
    Errors(window);

    Copy next = Start({});
    ASSERT_TRUE(WindowRuns(next));
    EXPECT_EQ(RunToEnd({}).first, 0);
    EXPECT_EQ(RunToEnd({"--console"}).second, Busy(next.Pid, "the window program") + "\n");
    EXPECT_EQ(Stop(next), 0);
}

} // namespace
