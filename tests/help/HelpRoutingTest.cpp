// Help topic routing without any window: the context table, the path handed
// to the runtime, %SystemRoot%, the lookup of the runtime library and the
// binding of its entries (through a fake module registered in-process).

#include "help/hh.h"

#include "platform/Directories.h"
#include "platform/Module.h"
#include "platform/registry/Registry.h"
#include "tests/support/TempConfig.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct HelpCall {
    uintptr_t Caller;
    std::string File;
    unsigned Command;
    uintptr_t Data;
};
std::vector<HelpCall> gCalls;
std::vector<std::wstring> gWideCalls;

uintptr_t FakeHtmlHelpA(uintptr_t Caller, const char* File, unsigned Command, uintptr_t Data) {
    gCalls.push_back({Caller, File != nullptr ? File : "", Command, Data});
    return 1;
}

uintptr_t FakeHtmlHelpW(uintptr_t, const wchar_t* File, unsigned, uintptr_t) {
    gWideCalls.emplace_back(File != nullptr ? File : L"");
    return 1;
}

void* Entry(PHtmlHelpA F) {
    return reinterpret_cast<void*>(F);
}
void* Entry(PHtmlHelpW F) {
    return reinterpret_cast<void*>(F);
}

// The executable's folder with its trailing separator, found without the
// platform layer that the code under test uses.
std::string ExeDir() {
    return fs::read_symlink("/proc/self/exe").parent_path().string() + "/";
}

const std::string ClassesKey =
    "[HKEY_CLASSES_ROOT\\CLSID\\{adb880a6-d8ff-11cf-9377-00aa003b7a11}\\InprocServer32]\n";

// A value as the registry editor exports an expandable string (REG_EXPAND_SZ).
std::string ExpandString(const std::string& Text) {
    std::string hex = "hex(2):";
    auto byte = [&hex](unsigned char B) {
        static const char digits[] = "0123456789abcdef";
        hex += digits[B >> 4];
        hex += digits[B & 15];
        hex += ',';
    };
    for (unsigned char c : Text) {
        byte(c);
        byte(0);
    }
    byte(0);
    byte(0);
    hex.pop_back();
    return hex;
}

class HelpRouting : public ::testing::Test {
protected:
    void SetUp() override {
        gCalls.clear();
        gWideCalls.clear();
        char buffer[4096];
        ASSERT_NE(getcwd(buffer, sizeof buffer), nullptr);
        OldDirectory = buffer;
        SystemDir = Config.Home() + "/system";
        WindowsDir = Config.Home() + "/windows";
        fs::create_directories(SystemDir);
        fs::create_directories(WindowsDir);
        platform::SetSystemDirectory(SystemDir);
        platform::SetWindowsDirectory(WindowsDir);
    }
    void TearDown() override {
        hh::UnloadHtmlHelp();
        for (const std::string& name : Registered)
            platform::UnregisterModule(name);
        platform::SetSystemDirectory("");
        platform::SetWindowsDirectory("");
        ASSERT_EQ(chdir(OldDirectory.c_str()), 0);
    }

    static void Touch(const std::string& Path) {
        fs::create_directories(fs::path(Path).parent_path());
        std::ofstream(Path) << "module";
    }
    // A fake runtime: a file at Path (the lookup asks for one) and the
    // module registered under the same name.
    void InstallFake(const std::string& Path, std::map<std::string, void*> Entries = {
                                                  {"HtmlHelpA", Entry(&FakeHtmlHelpA)},
                                                  {"HtmlHelpW", Entry(&FakeHtmlHelpW)}}) {
        Touch(Path);
        platform::RegisterModule(Path, std::move(Entries));
        Registered.push_back(Path);
    }
    void WriteClasses(const std::string& Body) const {
        Config.Write(platform::TRegistry::StorePath(platform::RegistryRoot::ClassesRoot),
                     "Windows Registry Editor Version 5.00\n\n" + Body);
    }
    void RegisterServer(const std::string& ValueLine) const {
        WriteClasses(ClassesKey + ValueLine + "\n");
    }
    std::string Fallback() const { return SystemDir + "/hhctrl.ocx"; }

    TempConfig Config;
    std::string OldDirectory;
    std::string SystemDir;
    std::string WindowsDir;
    std::vector<std::string> Registered;
};

const std::vector<std::pair<int, std::string>> Table = {
    {100, "system_log.html"},
    {110, "device_log.html"},
    {200, "options_dialog.html"},
    {210, "general_tab.html"},
    {220, "echo_settings_tab.html"},
    {230, "devices_tab.html"},
    {235, "import_devices.html"},
    {240, "log_settings_tab.html"},
    {250, "alerts_tab.html"},
    {255, "metrics.html"},
    {290, "network_deployment.html"},
    {300, "add_device_dialog.html"},
    {310, "device_properties_dialog.html"},
};

} // namespace

TEST_F(HelpRouting, TheTableHoldsEveryContextAndItsPage) {
    ASSERT_EQ(std::size(hh::HelpTopics), Table.size());
    for (size_t i = 0; i < Table.size(); ++i) {
        EXPECT_EQ(hh::HelpTopics[i].Context, Table[i].first);
        EXPECT_EQ(std::string(hh::HelpTopics[i].Page), "Sentrel.chm::/" + Table[i].second);
    }
    EXPECT_TRUE(hh::AutoLoadHtmlHelp);
}

TEST_F(HelpRouting, EveryContextOfTheTableOpensItsPageBesideTheExecutable) {
    InstallFake(Fallback());
    hh::LoadHtmlHelp();
    ASSERT_NE(hh::HtmlHelp, nullptr);
    ASSERT_EQ(chdir(Config.Home().c_str()), 0); // another current directory
    for (const auto& [context, page] : Table) {
        SCOPED_TRACE(context);
        gCalls.clear();
        bool callHelp = true;
        hh::ApplicationEventsHelp(3, context, callHelp);
        EXPECT_FALSE(callHelp);
        ASSERT_EQ(gCalls.size(), 1u);
        EXPECT_EQ(gCalls[0].Caller, 0u); // the desktop
        EXPECT_EQ(gCalls[0].File, ExeDir() + "Sentrel.chm::/" + page);
        EXPECT_EQ(gCalls[0].Command, unsigned{HH_DISPLAY_TOPIC});
        EXPECT_EQ(gCalls[0].Data, 0u);
        EXPECT_EQ(hh::HelpPath(context), gCalls[0].File);
    }
}

TEST_F(HelpRouting, GeneralPermissionsAndDevicesPagesByName) {
    EXPECT_EQ(hh::HelpPath(210), ExeDir() + "Sentrel.chm::/general_tab.html");
    EXPECT_EQ(hh::HelpPath(290), ExeDir() + "Sentrel.chm::/network_deployment.html");
    EXPECT_EQ(hh::HelpPath(230), ExeDir() + "Sentrel.chm::/devices_tab.html");
}

TEST_F(HelpRouting, AnyOtherContextOpensTheHelpFileAtItsDefaultPage) {
    InstallFake(Fallback());
    hh::LoadHtmlHelp();
    ASSERT_EQ(chdir("/"), 0);
    for (int context : {5, 0, -1, 1, 99, 101, 120, 205, 256, 291, 301, 320, 100000}) {
        SCOPED_TRACE(context);
        gCalls.clear();
        bool callHelp = true;
        hh::ApplicationEventsHelp(0, context, callHelp);
        EXPECT_FALSE(callHelp);
        ASSERT_EQ(gCalls.size(), 1u);
        EXPECT_EQ(gCalls[0].File, ExeDir() + "Sentrel.chm");
        EXPECT_EQ(gCalls[0].Command, unsigned{HH_DISPLAY_TOPIC});
    }
}

TEST_F(HelpRouting, TheHelpActionOpensTheDefaultPageWhateverTheCurrentDirectory) {
    InstallFake(Fallback());
    hh::LoadHtmlHelp();
    for (const std::string& dir : {Config.Home(), std::string("/")}) {
        ASSERT_EQ(chdir(dir.c_str()), 0);
        gCalls.clear();
        hh::HelpActionExecute();
        ASSERT_EQ(gCalls.size(), 1u);
        EXPECT_EQ(gCalls[0].Caller, 0u);
        EXPECT_EQ(gCalls[0].File, ExeDir() + "Sentrel.chm");
        EXPECT_EQ(gCalls[0].File.front(), '/');
        EXPECT_EQ(gCalls[0].Command, unsigned{HH_DISPLAY_TOPIC});
        EXPECT_EQ(gCalls[0].Data, 0u);
    }
}

TEST_F(HelpRouting, ARequestWithoutTheRuntimeSaysSoAndDoesNotFail) {
    // No hhctrl.ocx in the system directory: nothing loads.
    hh::LoadHtmlHelp();
    EXPECT_EQ(hh::HelpLibraryHandle, nullptr);
    EXPECT_EQ(hh::HtmlHelp, nullptr);

    testing::internal::CaptureStderr();
    bool callHelp = true;
    hh::ApplicationEventsHelp(0, 230, callHelp);
    hh::HelpActionExecute();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(callHelp);
    EXPECT_NE(said.find("hhctrl.ocx"), std::string::npos) << said;
    EXPECT_NE(said.find(Fallback()), std::string::npos) << said;
    EXPECT_NE(said.find(ExeDir() + "Sentrel.chm::/devices_tab.html"), std::string::npos) << said;
    EXPECT_TRUE(gCalls.empty());
}

TEST_F(HelpRouting, LoadBindsTheEntriesOfTheLibraryOnce) {
    InstallFake(Fallback());
    hh::LoadHtmlHelp();
    ASSERT_NE(hh::HelpLibraryHandle, nullptr);
    EXPECT_EQ(hh::HtmlHelpA, &FakeHtmlHelpA);
    EXPECT_EQ(hh::HtmlHelpW, &FakeHtmlHelpW);
    EXPECT_EQ(hh::HtmlHelp, &FakeHtmlHelpA);

    const platform::ModuleHandle first = hh::HelpLibraryHandle;
    hh::LoadHtmlHelp(); // already loaded: nothing happens
    EXPECT_EQ(hh::HelpLibraryHandle, first);

    hh::HtmlHelpW(0, L"wide", HH_DISPLAY_TOPIC, 0);
    ASSERT_EQ(gWideCalls.size(), 1u);
    EXPECT_EQ(gWideCalls[0], L"wide");
}

TEST_F(HelpRouting, AnEntryTheLibraryLacksStaysEmpty) {
    InstallFake(Fallback(), {{"HtmlHelpA", Entry(&FakeHtmlHelpA)}});
    hh::LoadHtmlHelp();
    EXPECT_NE(hh::HelpLibraryHandle, nullptr);
    EXPECT_EQ(hh::HtmlHelpA, &FakeHtmlHelpA);
    EXPECT_EQ(hh::HtmlHelpW, nullptr);
    EXPECT_EQ(hh::HtmlHelp, &FakeHtmlHelpA);
}

TEST_F(HelpRouting, ALibraryWithoutTheAnsiEntryLeavesHelpEmptyAndRequestsStillDoNotFail) {
    InstallFake(Fallback(), {{"HtmlHelpW", Entry(&FakeHtmlHelpW)}});
    hh::LoadHtmlHelp();
    EXPECT_NE(hh::HelpLibraryHandle, nullptr);
    EXPECT_EQ(hh::HtmlHelpA, nullptr);
    EXPECT_EQ(hh::HtmlHelp, nullptr);
    testing::internal::CaptureStderr();
    bool callHelp = true;
    hh::ApplicationEventsHelp(0, 100, callHelp);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(callHelp);
    EXPECT_NE(said.find("HtmlHelpA"), std::string::npos) << said;
}

TEST_F(HelpRouting, AModuleRegisteredWithoutItsFileIsNotLoaded) {
    // The lookup asks for a file first; a module with no file behind it is not taken.
    platform::RegisterModule(Fallback(), {{"HtmlHelpA", Entry(&FakeHtmlHelpA)}});
    Registered.push_back(Fallback());
    hh::LoadHtmlHelp();
    EXPECT_EQ(hh::HelpLibraryHandle, nullptr);
    EXPECT_EQ(hh::HtmlHelp, nullptr);
}

TEST_F(HelpRouting, UnloadReleasesTheLibraryAndEmptiesTheEntries) {
    InstallFake(Fallback());
    hh::LoadHtmlHelp();
    ASSERT_NE(hh::HelpLibraryHandle, nullptr);
    hh::UnloadHtmlHelp();
    EXPECT_EQ(hh::HelpLibraryHandle, nullptr);
    EXPECT_EQ(hh::HtmlHelpA, nullptr);
    EXPECT_EQ(hh::HtmlHelpW, nullptr);
    EXPECT_EQ(hh::HtmlHelp, nullptr);
    hh::UnloadHtmlHelp(); // not loaded: nothing happens

    testing::internal::CaptureStderr();
    hh::HelpActionExecute();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(gCalls.empty());
    EXPECT_NE(said.find("hhctrl.ocx"), std::string::npos) << said;

    hh::LoadHtmlHelp(); // a later load binds again
    EXPECT_EQ(hh::HtmlHelp, &FakeHtmlHelpA);
}

TEST_F(HelpRouting, SystemRootAtTheStartBecomesTheWindowsDirectory) {
    for (const char* variable : {"%SystemRoot%", "%SYSTEMROOT%", "%systemroot%", "%sYsTeMrOoT%"}) {
        SCOPED_TRACE(variable);
        EXPECT_EQ(hh::ReplaceSystemRootVariable(std::string(variable) + "/System32/hhctrl.ocx"),
                  WindowsDir + "/System32/hhctrl.ocx");
        EXPECT_EQ(hh::ReplaceSystemRootVariable(variable), WindowsDir);
    }
}

TEST_F(HelpRouting, OnlyALeadingSystemRootOfTwelveCharactersIsReplaced) {
    for (const std::string path :
         {"%SystemDrive%/hhctrl.ocx", "%ProgramFiles%/hhctrl.ocx", "/opt/%SystemRoot%/x",
          "%SystemRoot", "%SystemRoo%/x", "%SystemRootX/x", "SystemRoot%/x", "", "%",
          "%%SystemRoot%/x", "%SystemRöot%/x"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(hh::ReplaceSystemRootVariable(path), path);
    }
    EXPECT_EQ(hh::ReplaceSystemRootVariable("%SystemRoot%%SystemRoot%/x"),
              WindowsDir + "%SystemRoot%/x");
}

TEST_F(HelpRouting, AWindowsDirectoryAtTheRootGivesOneSeparator) {
    platform::SetWindowsDirectory("/");
    EXPECT_EQ(hh::ReplaceSystemRootVariable("%SystemRoot%/System32/hhctrl.ocx"),
              "/System32/hhctrl.ocx");
    platform::SetWindowsDirectory("/opt/windows/");
    EXPECT_EQ(hh::ReplaceSystemRootVariable("%SystemRoot%/hhctrl.ocx"), "/opt/windows/hhctrl.ocx");
}

TEST_F(HelpRouting, TheWindowsAndSystemDirectoriesAreTheProgramsOwnByDefault) {
    platform::SetWindowsDirectory("");
    platform::SetSystemDirectory("");
    const std::string program = ExeDir().substr(0, ExeDir().size() - 1);
    EXPECT_EQ(platform::GetWindowsDirectory(), program);
    EXPECT_EQ(platform::GetSystemDirectory(), program);
    EXPECT_EQ(hh::ReplaceSystemRootVariable("%SystemRoot%/hhctrl.ocx"), program + "/hhctrl.ocx");
    EXPECT_EQ(hh::FindHtmlHelpLibrary(), ExeDir() + "hhctrl.ocx");
}

TEST_F(HelpRouting, WithoutARegistrationTheSystemDirectorysLibraryIsExpected) {
    const std::string classes = platform::TRegistry::StorePath(platform::RegistryRoot::ClassesRoot);
    EXPECT_EQ(classes, Config.Home() + "/Kestrava/Sentrel/classes.reg");
    EXPECT_EQ(hh::FindHtmlHelpLibrary(), Fallback()); // even though no file is there
    EXPECT_FALSE(fs::exists(classes));                // the lookup writes nothing

    platform::SetSystemDirectory("/");
    EXPECT_EQ(hh::FindHtmlHelpLibrary(), "/hhctrl.ocx");
}

TEST_F(HelpRouting, ARegisteredLibraryThatExistsIsTaken) {
    const std::string library = Config.Home() + "/elsewhere/hhctrl.ocx";
    Touch(library);
    RegisterServer("@=\"" + library + "\"");
    EXPECT_EQ(hh::FindHtmlHelpLibrary(), library);
}

TEST_F(HelpRouting, ARegisteredExpandableSystemRootPathResolves) {
    const std::string library = WindowsDir + "/System32/hhctrl.ocx";
    Touch(library);
    RegisterServer("@=" + ExpandString("%SystemRoot%/System32/hhctrl.ocx"));
    EXPECT_EQ(hh::FindHtmlHelpLibrary(), library);
    RegisterServer("@=\"%SYSTEMROOT%/System32/hhctrl.ocx\"");
    EXPECT_EQ(hh::FindHtmlHelpLibrary(), library);
}

TEST_F(HelpRouting, TheKeyNameMatchesWithoutRegardToLetterCase) {
    const std::string library = Config.Home() + "/elsewhere/hhctrl.ocx";
    Touch(library);
    WriteClasses(
        "[HKEY_CLASSES_ROOT\\clsid\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\inprocserver32]\n"
        "@=\"" +
        library + "\"\n");
    EXPECT_EQ(hh::FindHtmlHelpLibrary(), library);
}

TEST_F(HelpRouting, AnUnusableRegistrationFallsBackToTheSystemDirectory) {
    const std::string folder = Config.Home() + "/a-folder";
    fs::create_directories(folder);
    const std::vector<std::string> values = {
        "@=\"" + Config.Home() + "/missing/hhctrl.ocx\"", // names no file
        "@=\"%ProgramFiles%/hhctrl.ocx\"",                // another variable, no such file
        "@=\"\"",                                         // empty
        "\"Other\"=\"" + Fallback() + "\"",               // no default value
        "@=dword:00000001",                               // not a string
        "@=\"" + folder + "\"",                           // a folder, not a file
    };
    for (const std::string& value : values) {
        SCOPED_TRACE(value);
        RegisterServer(value);
        EXPECT_EQ(hh::FindHtmlHelpLibrary(), Fallback());
    }
}

TEST_F(HelpRouting, AnUnreadableClassesFileFallsBackToTheSystemDirectory) {
    Config.Write(platform::TRegistry::StorePath(platform::RegistryRoot::ClassesRoot),
                 "this is not a registry file\n");
    EXPECT_EQ(hh::FindHtmlHelpLibrary(), Fallback());
    EXPECT_NO_THROW(hh::LoadHtmlHelp());
}

TEST_F(HelpRouting, LoadTakesTheRegisteredLibrary) {
    const std::string library = Config.Home() + "/elsewhere/hhctrl.ocx";
    InstallFake(library);
    RegisterServer("@=\"" + library + "\"");
    hh::LoadHtmlHelp();
    ASSERT_NE(hh::HelpLibraryHandle, nullptr);
    EXPECT_EQ(hh::HtmlHelp, &FakeHtmlHelpA);
    hh::HelpActionExecute();
    ASSERT_EQ(gCalls.size(), 1u);
    EXPECT_EQ(gCalls[0].File, ExeDir() + "Sentrel.chm");
}

// A registered runtime is code the program runs at every start: only a file in
// the program's own folder or one that nobody but root can change is taken.
class RegisteredLibraryTrust : public HelpRouting {
protected:
    void SetUp() override {
        HelpRouting::SetUp();
        InstallFake(Fallback());
    }
    // Registers Value, loads, and expects the system directory's runtime
    // instead, with one line on stderr naming Value and saying Why.
    void ExpectRefused(const std::string& Value, const std::string& Why) {
        SCOPED_TRACE(Value);
        RegisterServer("@=\"" + Value + "\"");
        hh::UnloadHtmlHelp();
        testing::internal::CaptureStderr();
        hh::LoadHtmlHelp();
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(hh::FindHtmlHelpLibrary(), Fallback());
        EXPECT_EQ(hh::HtmlHelp, &FakeHtmlHelpA); // the fallback loaded as without a value
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_NE(said.find('"' + Value + '"'), std::string::npos) << said;
        EXPECT_NE(said.find(Why), std::string::npos) << said;
    }
    static void Own(const std::string& Path, uid_t User, fs::perms Mode) {
        ASSERT_EQ(chown(Path.c_str(), User, 0), 0) << Path;
        fs::permissions(Path, Mode);
    }
    static constexpr uid_t Nobody = 65534;
    static constexpr fs::perms Mode644 = fs::perms::owner_read | fs::perms::owner_write |
                                         fs::perms::group_read | fs::perms::others_read;
};

TEST_F(RegisteredLibraryTrust, ARelativePathOrAFolderIsRefused) {
    Touch(Config.Home() + "/relative/hhctrl.ocx");
    ASSERT_EQ(chdir(Config.Home().c_str()), 0); // where the relative path would find it
    ExpectRefused("relative/hhctrl.ocx", "not an absolute path");
    fs::create_directories(Config.Home() + "/folder.ocx");
    ExpectRefused(Config.Home() + "/folder.ocx", "a folder");
}

TEST_F(RegisteredLibraryTrust, AFileOthersCanChangeIsRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give files to other users";
    const std::string others = Config.Home() + "/others/hhctrl.ocx";
    Touch(others);
    Own(others, Nobody, Mode644);
    ExpectRefused(others, "owned by user 65534");

    const std::string group = Config.Home() + "/group/hhctrl.ocx";
    Touch(group);
    Own(group, 0, Mode644 | fs::perms::group_write);
    ExpectRefused(group, "writable by its group");

    const std::string link = Config.Home() + "/link.ocx";
    fs::create_symlink(others, link);
    ExpectRefused(link, "owned by user 65534");

    // A safe file in a folder anyone may write to can be swapped for another.
    const std::string open = Config.Home() + "/open/hhctrl.ocx";
    Touch(open);
    Own(open, 0, Mode644);
    fs::permissions(Config.Home() + "/open", fs::perms::all);
    ExpectRefused(open, "its folder \"" + Config.Home() + "/open\" is writable by every user");
}

TEST_F(RegisteredLibraryTrust, RootsOwnFileAndOneInTheProgramsFolderAreTaken) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give files to root and to other users";
    const std::string roots = Config.Home() + "/roots/hhctrl.ocx";
    InstallFake(roots, {{"HtmlHelpA", Entry(&FakeHtmlHelpA)}});
    Own(roots, 0, Mode644);
    // The program's own folder: taken whoever owns the file.
    const std::string own = ExeDir() + "hhctrl-" + std::to_string(getpid()) + ".ocx";
    InstallFake(own, {{"HtmlHelpA", Entry(&FakeHtmlHelpA)}});
    Own(own, Nobody, Mode644);
    for (const std::string& library : {roots, own}) {
        SCOPED_TRACE(library);
        RegisterServer("@=\"" + library + "\"");
        hh::UnloadHtmlHelp();
        testing::internal::CaptureStderr();
        hh::LoadHtmlHelp();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(hh::FindHtmlHelpLibrary(), library);
        EXPECT_EQ(hh::HtmlHelpW, nullptr); // this one, not the system directory's
    }
    fs::remove(own);
}
