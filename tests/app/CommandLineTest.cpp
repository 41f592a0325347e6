// The command-line conventions as a user meets them: the real executables,
// their exit status and what they print on stdout and stderr.

#include "tests/support/TempConfig.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Environment = std::vector<std::pair<const char*, const char*>>; // nullptr: unset

// Without any display, and without Qt told to do without one.
const Environment NoDisplay = {
    {"DISPLAY", nullptr}, {"WAYLAND_DISPLAY", nullptr}, {"QT_QPA_PLATFORM", nullptr}};

struct Outcome {
    int Status = -1; // the exit status, -1 when ended by a signal
    std::string Out;
    std::string Err;
};

std::string ReadAll(std::FILE* file) {
    std::rewind(file);
    std::string text;
    char buffer[512];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0)
        text.append(buffer, n);
    std::fclose(file);
    return text;
}

pid_t Start(const char* Program, const std::vector<std::string>& Arguments, const Environment& Env,
            std::FILE* Out = nullptr, std::FILE* Err = nullptr) {
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    for (const auto& [name, value] : Env)
        value == nullptr ? unsetenv(name) : setenv(name, value, 1);
    if (Out != nullptr)
        dup2(fileno(Out), STDOUT_FILENO);
    if (Err != nullptr)
        dup2(fileno(Err), STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(Program)};
    for (const std::string& argument : Arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(Program, argv.data());
    _exit(127);
}

int ExitStatus(pid_t Pid) {
    int status = 0;
    waitpid(Pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Outcome RunProgram(const char* Program, const std::vector<std::string>& Arguments,
                   const Environment& Env = NoDisplay) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    Outcome outcome;
    outcome.Status = ExitStatus(Start(Program, Arguments, Env, out, err));
    outcome.Out = ReadAll(out);
    outcome.Err = ReadAll(err);
    return outcome;
}

bool OneLine(const std::string& Text) {
    return !Text.empty() && Text.find('\n') == Text.size() - 1;
}

// Help and version need no display; an unknown option is named on one line.
void CheckConventions(const char* Program, const std::string& Name) {
    for (const char* help : {"--help", "-h"}) {
        const Outcome o = RunProgram(Program, {help});
        EXPECT_EQ(o.Status, 0) << help;
        EXPECT_EQ(o.Out.rfind("usage: " + Name + " ", 0), 0u) << o.Out;
        EXPECT_NE(o.Out.find("--version"), std::string::npos) << o.Out;
        EXPECT_EQ(o.Err, "");
    }
    const Outcome version = RunProgram(Program, {"--version"});
    EXPECT_EQ(version.Status, 0);
    EXPECT_EQ(version.Out, Name + " (Kestrava Sentrel) " SENTREL_VERSION "\n");
    EXPECT_EQ(version.Err, "");

    const Outcome unknown = RunProgram(Program, {"--frobnicate", "127.0.0.1"});
    EXPECT_EQ(unknown.Status, 2);
    EXPECT_TRUE(OneLine(unknown.Err)) << unknown.Err;
    EXPECT_NE(unknown.Err.find("--frobnicate"), std::string::npos) << unknown.Err;
    EXPECT_EQ(unknown.Out, "");
}

TEST(ProbeCommandLine, HelpVersionAndUnknownOption) {
    CheckConventions(SENTREL_PROBE, "sentrel-probe");
}

#ifdef SENTREL_PROGRAM

TEST(SentrelCommandLine, HelpVersionAndUnknownOption) {
    CheckConventions(SENTREL_PROGRAM, "sentrel");
    // The program's own words do not hide an unknown option.
    const Outcome o = RunProgram(SENTREL_PROGRAM, {"-Admin", "-debug", "-x"});
    EXPECT_EQ(o.Status, 2);
    EXPECT_NE(o.Err.find("unknown option -x"), std::string::npos) << o.Err;
}

// An X display number nobody serves here.
std::string UnservedDisplay() {
    for (int n = 473;; ++n) {
        struct stat info {};
        if (stat(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), &info) != 0)
            return ":" + std::to_string(n);
    }
}

// Each accepted argument gets as far as the display check, which ends the
// program with one line on stderr and exit 2, not with a core dump.
TEST(SentrelCommandLine, WithoutADisplayAcceptedArgumentsEndInOneLineWithExitTwo) {
    const std::vector<std::vector<std::string>> accepted = {{},
                                                            {"admin"},
                                                            {"-ADMIN"},
                                                            {"/Admin"},
                                                            {"\\admin", "-debug"},
                                                            {"/DEBUG"},
                                                            {"-style", "fusion", "--session=x"},
                                                            {"-platform", "xcb"}};
    for (const auto& arguments : accepted) {
        const Outcome o = RunProgram(SENTREL_PROGRAM, arguments);
        const std::string first = arguments.empty() ? "" : arguments.front();
        EXPECT_EQ(o.Status, 2) << first;
        EXPECT_TRUE(OneLine(o.Err)) << first << ": " << o.Err;
        EXPECT_NE(o.Err.find("no display"), std::string::npos) << o.Err;
        EXPECT_NE(o.Err.find("--console"), std::string::npos) << o.Err;
    }
    // A display that is named but cannot be opened.
    const std::string display = UnservedDisplay();
    const Outcome o = RunProgram(SENTREL_PROGRAM, {"admin"},
                                 {{"DISPLAY", display.c_str()}, {"QT_QPA_PLATFORM", nullptr}});
    EXPECT_EQ(o.Status, 2);
    EXPECT_TRUE(OneLine(o.Err)) << o.Err;
    EXPECT_NE(o.Err.find(display), std::string::npos) << o.Err;
}

// 1 once the process catches SIGTERM, -1 when it has ended (a zombie has
// no handlers), 0 before.
int SigtermCaught(pid_t Pid) {
    std::ifstream status("/proc/" + std::to_string(Pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("State:", 0) == 0 && line.find('Z') != std::string::npos)
            return -1;
        if (line.rfind("SigCgt:", 0) == 0)
            return ((std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1) != 0;
    }
    return -1;
}

// Platforms that need no display (the tests' offscreen) still run.
TEST(SentrelCommandLine, OffscreenRunsWithoutADisplayAndEndsOnSigterm) {
    TempConfig config;
    const pid_t pid = Start(
        SENTREL_PROGRAM, {"-Admin"},
        {{"DISPLAY", nullptr}, {"WAYLAND_DISPLAY", nullptr}, {"QT_QPA_PLATFORM", "offscreen"}});
    ASSERT_GT(pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int caught = 0;
    while ((caught = SigtermCaught(pid)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(caught, 1);
    kill(pid, SIGTERM);
    EXPECT_EQ(ExitStatus(pid), 0);
}

#endif

} // namespace
