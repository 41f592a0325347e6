// The device list from the command line, with the real program: what an
// import adds and tells, when it does nothing at all, and an export read
// back by an import.

#include "core/SentrelSettingsCM.h"
#include "tests/support/HostileTexts.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TempConfig.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int Status = -1; // -1: ended by a signal
    std::string Out, Err;
};

std::string ReadAll(std::FILE* File) {
    std::rewind(File);
    std::string text;
    for (int c; (c = std::fgetc(File)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(File);
    return text;
}

// Runs sentrel to its end with Input as its standard input.
Outcome Sentrel(const std::vector<std::string>& Arguments, const std::string& Input = {}) {
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::fputs(Input.c_str(), in);
    std::fflush(in);
    std::rewind(in);
    const pid_t pid = fork();
    if (pid == 0) {
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            unsetenv(name);
        dup2(fileno(in), STDIN_FILENO);
        dup2(fileno(out), STDOUT_FILENO);
        dup2(fileno(err), STDERR_FILENO);
        ExecProgram(SENTREL_PROGRAM, Arguments);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::fclose(in);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadAll(out), ReadAll(err)};
}

using Device = std::tuple<std::string, std::string, int, bool>;

// The device list as the program loads it from the settings file now.
std::vector<Device> LoadedDevices() {
    TSentrelSettings settings(nullptr);
    settings.Load();
    std::vector<Device> devices;
    for (int i = 0; i < settings.Devices()->Count(); ++i) {
        const TDeviceData* d = settings.Devices()->Items(i);
        devices.emplace_back(d->Host(), d->Description(), d->DeviceType(), d->Monitored());
    }
    return devices;
}

int Count(const std::string& Text, const std::string& Part) {
    int n = 0;
    for (size_t at = Text.find(Part); at != std::string::npos; at = Text.find(Part, at + 1))
        ++n;
    return n;
}

// Files beside the settings that a damaged file would have been moved to.
bool AnythingMovedAside(const TempConfig& Config) {
    for (const auto& entry : fs::directory_iterator(fs::path(Config.SettingsFile()).parent_path()))
        if (entry.path().filename().string().find("broken") != std::string::npos)
            return true;
    return false;
}

TEST(ImportDevices, AddsAndTellsTheHostsThenSkipsThemAllAsDuplicates) {
    TempConfig config;
    config.Write(config.SettingsFile(), QuietSettings);
    const std::string file = config.Home() + "/devices.csv";
    config.Write(file, "Host,Description,Type,Monitored\n"
                       "127.0.0.1-3,Loopback,Server,yes\n"
                       "localhost,This machine,2,no\n");

    const Outcome first = Sentrel({"--import", file});
    EXPECT_EQ(first.Status, 0) << first.Err;
    EXPECT_EQ(first.Err, "");
    EXPECT_EQ(first.Out.rfind("added 127.0.0.1\nadded 127.0.0.2\nadded 127.0.0.3\n"
                              "added localhost\n4 added (3 from ranges)",
                              0),
              0u)
        << first.Out;
    EXPECT_EQ(LoadedDevices(),
              (std::vector<Device>{{"127.0.0.1", "Loopback", dtServer, true},
                                   {"127.0.0.2", "Loopback", dtServer, true},
                                   {"127.0.0.3", "Loopback", dtServer, true},
                                   {"localhost", "This machine", dtPrinter, false}}));

    const std::string saved = config.Read(config.SettingsFile());
    const Outcome again = Sentrel({"--import", file});
    EXPECT_EQ(again.Status, 0) << again.Err;
    EXPECT_EQ(Count("\n" + again.Out, "\nadded "), 0) << again.Out;
    EXPECT_EQ(Count(again.Out, "already in the list"), 5) << again.Out; // and the summary
    EXPECT_EQ(config.Read(config.SettingsFile()), saved);
}

// From standard input; the line at fault is named and the rest still added.
TEST(ImportDevices, AnInvalidLineIsNamedAndTheValidOnesAreAddedWithExitOne) {
    TempConfig config;
    config.Write(config.SettingsFile(), QuietSettings);
    const Outcome o = Sentrel({"--import", "-"}, "127.0.0.5\n# a comment\n10.0.0.300\n127.0.0.6\n");
    EXPECT_EQ(o.Status, 1);
    EXPECT_NE(o.Err.find("line 3: 10.0.0.300"), std::string::npos) << o.Err;
    EXPECT_EQ(o.Out.find("10.0.0.300"), std::string::npos) << o.Out;
    EXPECT_NE(o.Out.find("added 127.0.0.6\n"), std::string::npos) << o.Out;
    EXPECT_EQ(LoadedDevices(), (std::vector<Device>{{"127.0.0.5", "", dtComputer, true},
                                                    {"127.0.0.6", "", dtComputer, true}}));
}

// A file that cannot be read, or settings that cannot: exit 2, the settings
// file byte for byte as it was and nothing moved aside.
TEST(ImportDevices, WhenNothingCanBeDoneTheSettingsStayAsTheyWere) {
    TempConfig config;
    const std::string list = config.Home() + "/list.txt";
    config.Write(list, "127.0.0.9\n");
    const std::string good = std::string(QuietSettings) +
                             "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\a]\n"
                             "\"Host\"=\"127.0.0.1\"\n\"Description\"=\"kept\"\n"
                             "\"DeviceType\"=dword:00000000\n\"Monitored\"=dword:00000001\n";
    std::string missingValue = QuietSettings;
    missingValue.erase(missingValue.find("\"DeviceLogSize\""));

    struct Case {
        const char* What;
        std::string Settings;
        std::vector<std::string> Arguments;
        std::string Named; // in the message
    };
    const std::vector<Case> cases = {
        {"a missing file", good, {"--import", config.Home() + "/none.txt"}, "none.txt"},
        {"a folder", good, {"--import", config.Home()}, config.Home()},
        {"settings that do not parse",
         "[HKEY_CURRENT_USER\n\x01\xff",
         {"--import", list},
         "settings.reg"},
        {"a settings value missing", missingValue, {"--import", list}, "DeviceLogSize"},
        {"export of settings that do not parse",
         "Windows Registry Editor Version 5.00\n[x",
         {"--export-devices", config.Home() + "/out.csv"},
         "settings.reg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        config.Write(config.SettingsFile(), c.Settings);
        const Outcome o = Sentrel(c.Arguments);
        EXPECT_EQ(o.Status, 2);
        EXPECT_NE(o.Err.find(c.Named), std::string::npos) << o.Err;
        EXPECT_NE(o.Err.find("nothing was"), std::string::npos) << o.Err;
        EXPECT_EQ(Count(o.Err, "\n"), 1) << o.Err;
        EXPECT_EQ(o.Out, "");
        EXPECT_EQ(config.Read(config.SettingsFile()), c.Settings);
        EXPECT_FALSE(AnythingMovedAside(config));
    }
    EXPECT_FALSE(fs::exists(config.Home() + "/out.csv"));
}

TEST(ImportDevices, IsRefusedWhileAnotherCopyOwnsTheSettings) {
    TempConfig config;
    config.Write(config.SettingsFile(), QuietSettings);
    const std::string list = config.Home() + "/list.txt";
    config.Write(list, "127.0.0.9\n");
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t console = fork();
    if (console == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        ExecProgram(SENTREL_PROGRAM, {"--console"});
    }
    close(pipeFds[1]);
    // Its first line says it runs, and it holds the settings from before then.
    std::string banner;
    for (char c = 0; c != '\n';) {
        pollfd p{pipeFds[0], POLLIN, 0};
        if (poll(&p, 1, 30000) != 1 || read(pipeFds[0], &c, 1) != 1)
            break;
        banner += c;
    }
    ASSERT_NE(banner.find("Ctrl-C stops"), std::string::npos) << banner;

    const Outcome o = Sentrel({"--import", list});
    EXPECT_EQ(o.Status, 2);
    EXPECT_EQ(o.Err, "Kestrava Sentrel: import refused: the settings belong to a running copy "
                     "(pid " +
                         std::to_string(console) + ", console mode); stop it and import again\n");
    EXPECT_EQ(o.Out, "");
    EXPECT_EQ(config.Read(config.SettingsFile()), QuietSettings);

    kill(console, SIGTERM);
    int status = 0;
    waitpid(console, &status, 0);
    close(pipeFds[0]);
    EXPECT_TRUE(LoadedDevices().empty());
}

// An import reading a FIFO holds the settings until the writer closes it; a
// copy started meanwhile names it at once instead of asking it for a window.
TEST(ImportDevices, InProgressIsNamedToTheCopiesStartedMeanwhile) {
    TempConfig config;
    config.Write(config.SettingsFile(), QuietSettings);
    const std::string fifo = config.Home() + "/hosts.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::FILE* out = std::tmpfile();
    const pid_t import = fork();
    if (import == 0) {
        dup2(fileno(out), STDOUT_FILENO);
        ExecProgram(SENTREL_PROGRAM, {"--import", fifo});
    }
    // Opens once the import opens it to read, which it does holding the claim.
    int hosts = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((hosts = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 &&
           waitpid(import, nullptr, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(hosts, 0) << "the import never read its file";
    const std::string busy = "(pid " + std::to_string(import) + ", an import of devices)";
    const Outcome window = Sentrel({"-platform", "offscreen"});
    EXPECT_EQ(window.Status, 1);
    EXPECT_EQ(window.Err, "Kestrava Sentrel: already running " + busy + "\n");
    const Outcome second = Sentrel({"--import", "-"}, "127.0.0.2\n");
    EXPECT_EQ(second.Status, 2);
    EXPECT_NE(second.Err.find(busy + "; try again once it has ended"), std::string::npos)
        << second.Err;

    EXPECT_EQ(write(hosts, "127.0.0.1\n", 10), 10);
    close(hosts);
    int status = 0;
    waitpid(import, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ReadAll(out), "added 127.0.0.1\n1 added\n");
    EXPECT_EQ(LoadedDevices(), (std::vector<Device>{{"127.0.0.1", "", dtComputer, true}}));
}

// Host texts that no sane device has, made into ones the import takes: no
// blanks or control characters, at most 255 bytes.
std::string Acceptable(const std::string& Text) {
    std::string host;
    for (char c : Text)
        if (static_cast<unsigned char>(c) > ' ' && c != 0x7f && host.size() < 255)
            host += c;
    return host;
}

// The export of a device list, imported into a settings file of its own,
// gives the same list; hosts the import cannot take are named by their line.
TEST(ExportDevices, ReadsBackTheSameDevicesThroughAnImport) {
    TempConfig config;
    const std::vector<std::string> hostile = HostileTexts();
    {
        TSentrelSettings settings(nullptr);
        settings.Load();
        int n = 0;
        const auto add = [&](const std::string& Host, const std::string& Description) {
            TDeviceData* d = settings.Devices()->Add();
            d->SetHost(Host);
            d->SetDescription(Description);
            d->SetDeviceType(static_cast<TDeviceType>(n % DeviceTypeCount));
            d->SetMonitored(n++ % 2 == 0);
        };
        for (const std::string& text : hostile) {
            add(text, "refused");
            if (!Acceptable(text).empty())
                add(Acceptable(text), text);
        }
        for (const char* host : {"127.0.0.1", "10.0.0.010", "Printer-2F.example"})
            add(host, "");
        settings.Save();
    }
    std::vector<Device> devices = LoadedDevices();
    const std::string saved = config.Read(config.SettingsFile());

    const Outcome toStdout = Sentrel({"--export-devices", "-"});
    EXPECT_EQ(toStdout.Status, 0) << toStdout.Err;
    EXPECT_EQ(toStdout.Out.rfind("Host,Description,Type,Monitored\r\n", 0), 0u) << toStdout.Out;
    const std::string file = config.Home() + "/export.csv";
    const Outcome toFile = Sentrel({"--export-devices", file});
    EXPECT_EQ(toFile.Status, 0) << toFile.Err;
    EXPECT_EQ(config.Read(file), toStdout.Out);
    EXPECT_EQ(config.Read(config.SettingsFile()), saved);

    {
        TempConfig empty;
        const Outcome imported = Sentrel({"--import", file});
        EXPECT_EQ(imported.Status, 1);
        EXPECT_EQ(Count(imported.Err, "\nline "), static_cast<int>(hostile.size()) - 1)
            << imported.Err;
        EXPECT_EQ(imported.Err.find('\x1b'), std::string::npos); // shown, never sent to a terminal
        std::erase_if(devices, [](const Device& d) { return std::get<1>(d) == "refused"; });
        EXPECT_EQ(LoadedDevices(), devices);
    }

    // Root may write into any folder: a folder that is not there stands for
    // one that cannot be written.
    const std::string nowhere = config.Home() + "/no-such-folder/export.csv";
    const Outcome failed = Sentrel({"--export-devices", nowhere});
    EXPECT_EQ(failed.Status, 2);
    EXPECT_NE(failed.Err.find(nowhere), std::string::npos) << failed.Err;
    EXPECT_EQ(failed.Out, "");
}

} // namespace
