// The command-line conventions as a user meets them: the real executables,
// their exit status and what they print on stdout and stderr.

#include "tests/support/RunProgram.h"
#include "tests/support/TempConfig.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

// Starts Program without any display; Display and Platform set DISPLAY and
// QT_QPA_PLATFORM when given. Out and Err, when given, take its output.
pid_t Start(const char* Program, const std::vector<std::string>& Arguments,
            const char* Display = nullptr, const char* Platform = nullptr, std::FILE* Out = nullptr,
            std::FILE* Err = nullptr) {
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        unsetenv(name);
    if (Display != nullptr)
        setenv("DISPLAY", Display, 1);
    if (Platform != nullptr)
        setenv("QT_QPA_PLATFORM", Platform, 1);
    if (Out != nullptr && Err != nullptr) {
        dup2(fileno(Out), STDOUT_FILENO);
        dup2(fileno(Err), STDERR_FILENO);
    }
    ExecProgram(Program, Arguments);
}

// The exit status, -1 when the process ended by a signal (a core dump).
int ExitStatus(pid_t Pid) {
    int status = 0;
    waitpid(Pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadAll(std::FILE* File) {
    std::rewind(File);
    std::string text;
    for (int c; (c = std::fgetc(File)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(File);
    return text;
}

struct Outcome {
    int Status;
    std::string Out, Err;
};

Outcome RunProgram(const char* Program, const std::vector<std::string>& Arguments,
                   const char* Display = nullptr) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int status = ExitStatus(Start(Program, Arguments, Display, nullptr, out, err));
    return {status, ReadAll(out), ReadAll(err)};
}

bool OneLine(const std::string& Text) {
    return !Text.empty() && Text.find('\n') == Text.size() - 1;
}

// Help and version need no display; an unknown option is named on one line.
void CheckConventions(const char* Program, const std::string& Name) {
    const Outcome help = RunProgram(Program, {"--help"});
    EXPECT_EQ(help.Status, 0);
    EXPECT_EQ(help.Out.rfind("usage: " + Name + " ", 0), 0u) << help.Out;
    EXPECT_NE(help.Out.find("--version"), std::string::npos) << help.Out;
    EXPECT_EQ(help.Err, "");
    const Outcome version = RunProgram(Program, {"--version"});
    EXPECT_EQ(version.Status, 0);
    EXPECT_EQ(version.Out, Name + " (Kestrava Sentrel) " SENTREL_VERSION "\n");
    const Outcome unknown = RunProgram(Program, {"--frobnicate", "127.0.0.1"});
    EXPECT_EQ(unknown.Status, 2);
    EXPECT_TRUE(OneLine(unknown.Err)) << unknown.Err;
    EXPECT_NE(unknown.Err.find("--frobnicate"), std::string::npos) << unknown.Err;
    EXPECT_EQ(unknown.Out, "");
}

TEST(ProbeCommandLine, HelpVersionAndUnknownOption) {
    CheckConventions(SENTREL_PROBE, "sentrel-probe");
}

// IPv6 literals go over ICMPv6 whatever their form; a malformed one, or one
// that contradicts -4, is refused before anything is pinged.
TEST(ProbeCommandLine, IPv6LiteralsAndFamily) {
    const Outcome six = RunProgram(SENTREL_PROBE, {"-6", "-c", "1", "::1", "[0:0::1]"});
    EXPECT_EQ(six.Status, 0) << six.Err;
    EXPECT_NE(six.Out.find("::1 (::1): Connected, time="), std::string::npos) << six.Out;
    EXPECT_NE(six.Out.find("[0:0::1] (::1): Connected"), std::string::npos) << six.Out;
    for (const auto& [args, reason] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"-4", "::1"}, "-4 was given"},
             {{"1::2::3"}, "more than one"},
             {{"fe80::1"}, "needs its interface"},
             {{"127.0.0.1", "[::1"}, "']'"}}) {
        const Outcome refused = RunProgram(SENTREL_PROBE, args);
        EXPECT_EQ(refused.Status, 2);
        EXPECT_TRUE(OneLine(refused.Err)) << refused.Err;
        EXPECT_NE(refused.Err.find(reason), std::string::npos) << refused.Err;
        EXPECT_EQ(refused.Out, "") << "nothing is pinged before the error";
    }
}

#ifdef SENTREL_PROGRAM

TEST(SentrelCommandLine, HelpVersionAndUnknownOption) {
    CheckConventions(SENTREL_PROGRAM, "sentrel");
    // The program's own words do not hide an unknown option.
    const Outcome o = RunProgram(SENTREL_PROGRAM, {"-Admin", "-debug", "-x"});
    EXPECT_EQ(o.Status, 2);
    EXPECT_NE(o.Err.find("unknown option -x"), std::string::npos) << o.Err;
}

// The import and the export take one file each and run alone; what a script
// gets wrong is refused in one line with exit 2 before anything is read.
TEST(SentrelCommandLine, ImportAndExportTakeOneFileAndRunAlone) {
    TempConfig config;
    const Outcome help = RunProgram(SENTREL_PROGRAM, {"--help"});
    EXPECT_NE(help.Out.find("--import FILE"), std::string::npos) << help.Out;
    EXPECT_NE(help.Out.find("--export-devices FILE"), std::string::npos) << help.Out;
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--import"}, "--import"},
        {{"--export-devices"}, "--export-devices"},
        {{"--import", "a.csv", "--console"}, "--console"},
        {{"--import", "a.csv", "--export-devices", "b.csv"}, "--export-devices"},
        {{"--import", "a.csv", "b.csv"}, "b.csv"},
        {{"--import", "a.csv", "--import=b.csv"}, "more than once"},
    };
    for (const auto& [arguments, named] : refused) {
        const Outcome o = RunProgram(SENTREL_PROGRAM, arguments);
        EXPECT_EQ(o.Status, 2) << named;
        EXPECT_TRUE(OneLine(o.Err)) << o.Err;
        EXPECT_NE(o.Err.find(named), std::string::npos) << o.Err;
        EXPECT_EQ(o.Out, "");
    }
    EXPECT_FALSE(std::filesystem::exists(config.SettingsFile()));
}

// --metrics belongs to the console; a misplaced or doubled one is refused
// in one line with exit 2, before anything starts.
TEST(SentrelCommandLine, MetricsGoesWithTheConsoleOnce) {
    TempConfig config;
    const Outcome help = RunProgram(SENTREL_PROGRAM, {"--help"});
    EXPECT_NE(help.Out.find("--metrics ADDRESS:PORT"), std::string::npos) << help.Out;
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--metrics", "127.0.0.1:9437"}, "--metrics goes with --console"},
        {{"--import", "a.csv", "--metrics=127.0.0.1:9437"}, "--metrics goes with --console"},
        {{"--console", "--metrics", "127.0.0.1:1", "--metrics=127.0.0.1:2"}, "more than once"},
        {{"--console", "--metrics"}, "--metrics"},
    };
    for (const auto& [arguments, named] : refused) {
        const Outcome o = RunProgram(SENTREL_PROGRAM, arguments);
        EXPECT_EQ(o.Status, 2) << named;
        EXPECT_TRUE(OneLine(o.Err)) << o.Err;
        EXPECT_NE(o.Err.find(named), std::string::npos) << o.Err;
        EXPECT_EQ(o.Out, "");
    }
    EXPECT_FALSE(std::filesystem::exists(config.SettingsFile()));
}

// Each accepted argument gets as far as the display check, which ends the
// program with one line and exit 2 instead of a core dump; so does a display
// that is named but cannot be opened.
TEST(SentrelCommandLine, WithoutADisplayAcceptedArgumentsEndInOneLineWithExitTwo) {
    int number = 473; // an X display number nobody serves here
    for (struct stat info{};
         stat(("/tmp/.X11-unix/X" + std::to_string(number)).c_str(), &info) == 0;)
        ++number;
    const std::string unserved = ":" + std::to_string(number);
    const std::vector<std::vector<std::string>> accepted = {
        {},
        {"admin"},
        {"-ADMIN"},
        {"/Admin"},
        {"\\admin", "-debug"},
        {"/DEBUG"},
        // Qt's own options, -session as the session manager passes it
        {"-style", "fusion", "--session=x"},
        {"-platform", "xcb"}};
    for (const auto& arguments : accepted) {
        for (const char* display : {static_cast<const char*>(nullptr), unserved.c_str()}) {
            const Outcome o = RunProgram(SENTREL_PROGRAM, arguments, display);
            EXPECT_EQ(o.Status, 2);
            EXPECT_TRUE(OneLine(o.Err)) << o.Err;
            EXPECT_NE(o.Err.find("no display"), std::string::npos) << o.Err;
            EXPECT_NE(o.Err.find("--console"), std::string::npos) << o.Err;
        }
    }
}

// A platform that needs no display (the tests' offscreen) still runs.
TEST(SentrelCommandLine, OffscreenRunsWithoutADisplayAndEndsOnSigterm) {
    TempConfig config;
    const pid_t pid = Start(SENTREL_PROGRAM, {"-Admin"}, nullptr, "offscreen");
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(WaitUntilCatchingSigterm(pid));
    kill(pid, SIGTERM);
    EXPECT_EQ(ExitStatus(pid), 0);
}

#endif

} // namespace
