// A stop signal ends the program in states where it cannot act on it at
// once: during the error box shown while the main window is made, and with
// its main thread blocked (here in a save, behind another holder of the
// settings lock).

#include "tests/support/RunProgram.h"
#include "tests/support/TempConfig.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Copy {
    pid_t Pid = -1;
    int Out = -1; // its stdout and stderr, read together
};

// The program on the offscreen platform, its output in one pipe.
Copy Start(const std::vector<std::string>& Arguments) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ExecProgram(SENTREL_PROGRAM, Arguments);
    }
    close(fds[1]);
    return {pid, fds[0]};
}

// Reads the output until it holds Text; false at its end or after 30 s.
bool WaitForOutput(const Copy& Copy, const std::string& Text, std::string& Seen) {
    while (Seen.find(Text) == std::string::npos) {
        pollfd p{Copy.Out, POLLIN, 0};
        char buffer[512];
        ssize_t n = 0;
        if (poll(&p, 1, 30000) != 1 || (n = read(Copy.Out, buffer, sizeof(buffer))) <= 0)
            return false;
        Seen.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

// Its wait status once it has ended, and the rest of its output; a copy
// still running after 30 s is killed, so that a hang fails the test.
int Finish(const Copy& Copy, std::string& Seen) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, Copy.Pid, 0));
    pollfd p{pidfd, POLLIN, 0};
    if (pidfd < 0 || poll(&p, 1, 30000) != 1)
        kill(Copy.Pid, SIGKILL);
    if (pidfd >= 0)
        close(pidfd);
    int status = 0;
    waitpid(Copy.Pid, &status, 0);
    char buffer[512];
    for (ssize_t n; (n = read(Copy.Out, buffer, sizeof(buffer))) > 0;)
        Seen.append(buffer, static_cast<size_t>(n));
    close(Copy.Out);
    return status;
}

TEST(StopSignal, DuringTheSettingsErrorBoxEndsTheSessionSaved) {
    TempConfig config;
    config.Write(config.SettingsFile(), "Windows Registry Editor Version 5.00\n\n"
                                        "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0]\n"
                                        "\"AutoScan\"=dword:0\n");
    const Copy copy = Start({});
    ASSERT_GT(copy.Pid, 0);
    std::string seen;
    // The box's words go to stderr as it is shown.
    ASSERT_TRUE(WaitForOutput(copy, "was moved aside", seen)) << seen;
    kill(copy.Pid, SIGTERM);
    const int status = Finish(copy, seen);
    ASSERT_TRUE(WIFEXITED(status)) << seen;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(config.Read(config.SettingsFile()).find("\\Sentrel\\1.0\\Form]"), std::string::npos);
}

TEST(StopSignal, WithTheMainThreadBlockedEndsAfterTheGracePeriod) {
    for (const bool console : {false, true}) {
        SCOPED_TRACE(console ? "console" : "window");
        TempConfig config;
        config.Write(config.SettingsFile(), QuietSettings);
        const Copy copy =
            Start(console ? std::vector<std::string>{"--console"} : std::vector<std::string>{});
        ASSERT_GT(copy.Pid, 0);
        std::string seen;
        if (console)
            ASSERT_TRUE(WaitForOutput(copy, "Ctrl-C stops", seen)) << seen;
        else
            ASSERT_TRUE(WaitUntilCatchingSigterm(copy.Pid));
        // The save that a stop begins waits for this lock for ever.
        const int lock =
            open((config.SettingsFile() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_EQ(flock(lock, LOCK_EX), 0);
        kill(copy.Pid, SIGTERM);
        const int status = Finish(copy, seen);
        close(lock);
        ASSERT_TRUE(WIFSIGNALED(status)) << seen;
        EXPECT_EQ(WTERMSIG(status), SIGTERM);
        EXPECT_NE(seen.find("Kestrava Sentrel: still running 5 s after being asked to stop; "
                            "ending now\n"),
                  std::string::npos)
            << seen;
    }
}

} // namespace
