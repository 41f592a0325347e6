// The console mode tells of a policy file it ignores on stderr and runs on.

#include "tests/support/RunProgram.h"
#include "tests/support/TempConfig.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace {

TEST(PolicyConsole, IgnoredPolicyIsToldOnStderrAndTheProgramRunsOn) {
    TempConfig config;
    config.Write(config.SettingsFile(),
                 std::string(QuietSettings) +
                     "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\l]\n"
                     "\"Host\"=\"127.0.0.1\"\n\"Description\"=\"\"\n"
                     "\"DeviceType\"=dword:00000000\n\"Monitored\"=dword:00000001\n");
    config.Write(config.PolicyFile(), "Windows Registry Editor Version 5.00\n\n"
                                      "[HKEY_LOCAL_MACHINE\\Software\\Kestrava\\Sentrel\\1.0]\n"
                                      "\"AllowEchoChange\"=dword:00000000\n");
    ASSERT_EQ(chmod(config.PolicyFile().c_str(), 0666), 0);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
        ExecProgram(SENTREL_PROGRAM, {"--console"});
    }
    close(fds[1]);
    // Until the banner, which comes after the policy's problems.
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (out.find("Ctrl-C stops.") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        char buffer[512];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        out.append(buffer, static_cast<size_t>(n));
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    close(fds[0]);
    EXPECT_NE(out.find("Kestrava Sentrel: The policy file \"" + config.PolicyFile() +
                       "\" is ignored: it "),
              std::string::npos)
        << out;
    EXPECT_LT(out.find("is ignored"), out.find("Ctrl-C stops.")) << out;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
