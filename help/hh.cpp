#include "help/hh.h"

#include "platform/Directories.h"
#include "platform/FileTrust.h"
#include "platform/Process.h"
#include "platform/registry/Registry.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>

namespace hh {

const HelpTopic HelpTopics[13] = {
    {100, "Sentrel.chm::/system_log.html"},
    {110, "Sentrel.chm::/device_log.html"},
    {200, "Sentrel.chm::/options_dialog.html"},
    {210, "Sentrel.chm::/general_tab.html"},
    {220, "Sentrel.chm::/echo_settings_tab.html"},
    {230, "Sentrel.chm::/devices_tab.html"},
    {235, "Sentrel.chm::/import_devices.html"},
    {240, "Sentrel.chm::/log_settings_tab.html"},
    {250, "Sentrel.chm::/alerts_tab.html"},
    {255, "Sentrel.chm::/metrics.html"},
    {290, "Sentrel.chm::/network_deployment.html"},
    {300, "Sentrel.chm::/add_device_dialog.html"},
    {310, "Sentrel.chm::/device_properties_dialog.html"},
};

platform::ModuleHandle HelpLibraryHandle = nullptr;
PHtmlHelpA HtmlHelpA = nullptr;
PHtmlHelpW HtmlHelpW = nullptr;
PHtmlHelpA HtmlHelp = nullptr;

namespace {

constexpr const char* HelpFileName = "Sentrel.chm";
constexpr const char* HtmlHelpLibraryName = "hhctrl.ocx";
// HKEY_CLASSES_ROOT: the registration of the HTML Help control.
constexpr const char* HtmlHelpServerKey =
    "CLSID\\{adb880a6-d8ff-11cf-9377-00aa003b7a11}\\InprocServer32";
// GetDesktopWindow(): the help window belongs to no window of the program.
constexpr uintptr_t DesktopWindow = 0;

// Why the last LoadHtmlHelp left the binding empty, for the message a help
// request then gives; empty while nothing is known.
std::string gNotLoadedReason;

bool FileExists(const std::string& Path) {
    std::error_code ignored;
    return !Path.empty() && std::filesystem::is_regular_file(Path, ignored);
}

// A Windows or system directory without its separator at the root, so that
// appending "/name" gives exactly one separator ("/" becomes "").
std::string WithoutTrailingSeparator(std::string Directory) {
    if (!Directory.empty() && Directory.back() == '/')
        Directory.pop_back();
    return Directory;
}

char UpperAscii(char C) {
    return C >= 'a' && C <= 'z' ? static_cast<char>(C - 'a' + 'A') : C;
}

// Every help request ends here. Without a runtime the request does nothing
// but say so on the standard error stream.
void DisplayTopic(const std::string& Path) {
    if (HtmlHelp == nullptr) {
        std::string reason = gNotLoadedReason;
        if (reason.empty())
            reason = std::string("the help runtime \"") + HtmlHelpLibraryName + "\" is not loaded";
        std::fprintf(stderr, "Sentrel: cannot show help \"%s\": %s.\n", Path.c_str(),
                     reason.c_str());
        return;
    }
    HtmlHelp(DesktopWindow, Path.c_str(), HH_DISPLAY_TOPIC, 0);
}

} // namespace

std::string HelpPath(int Context) {
    const std::string directory = platform::ExecutableDirectory();
    for (const HelpTopic& topic : HelpTopics)
        if (topic.Context == Context)
            return directory + topic.Page;
    return directory + HelpFileName;
}

void ApplicationEventsHelp(int /*Command*/, int Data, bool& CallHelp) {
    try {
        DisplayTopic(HelpPath(Data));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Sentrel: cannot show help for context %d: %s.\n", Data, e.what());
    } catch (...) {
        std::fprintf(stderr, "Sentrel: cannot show help for context %d.\n", Data);
    }
    CallHelp = false;
}

void HelpActionExecute() {
    try {
        DisplayTopic(platform::ExecutableDirectory() + HelpFileName);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Sentrel: cannot show help: %s.\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "Sentrel: cannot show help.\n");
    }
}

namespace {

// The runtime registered in classes.reg, when there is one and it may be
// loaded; otherwise empty, with Refusal saying why a registered path was not
// taken (empty when nothing usable was registered at all).
std::string RegisteredLibrary(std::string& Refusal) {
    Refusal.clear();
    std::string path;
    try {
        platform::TRegistry registry(platform::RegistryRoot::ClassesRoot);
        if (!registry.OpenKeyReadOnly(HtmlHelpServerKey))
            return {};
        path = ReplaceSystemRootVariable(registry.ReadString(""));
        registry.CloseKey();
    } catch (const std::exception&) {
        // A missing, unreadable or mistyped registration: the system directory's.
        return {};
    }
    if (path.empty())
        return {};
    // The file runs as the user at every start: a file anyone else could have
    // put there is not taken.
    std::string why;
    std::string trusted = platform::TrustedLibraryPath(path, why);
    if (trusted.empty())
        Refusal = "not loading the help runtime \"" + path + "\" named in classes.reg: " + why;
    return trusted;
}

std::string SystemLibrary() {
    return WithoutTrailingSeparator(platform::GetSystemDirectory()) + "/" + HtmlHelpLibraryName;
}

} // namespace

std::string FindHtmlHelpLibrary() {
    std::string refusal;
    std::string path = RegisteredLibrary(refusal);
    return path.empty() ? SystemLibrary() : path;
}

void LoadHtmlHelp() {
    if (HelpLibraryHandle != nullptr)
        return;
    try {
        std::string refusal;
        std::string path = RegisteredLibrary(refusal);
        if (path.empty())
            path = SystemLibrary();
        if (!refusal.empty())
            std::fprintf(stderr, "Sentrel: %s; looking for \"%s\" instead.\n", refusal.c_str(),
                         path.c_str());
        if (!FileExists(path)) {
            gNotLoadedReason = std::string("the help runtime \"") + HtmlHelpLibraryName +
                               "\" was not found (looked for \"" + path + "\")";
            return;
        }
        platform::ModuleHandle library = platform::LoadLibrary(path);
        if (library == nullptr) {
            gNotLoadedReason = "the help runtime \"" + path + "\" could not be loaded";
            return;
        }
        HelpLibraryHandle = library;
        HtmlHelpA = reinterpret_cast<PHtmlHelpA>(platform::GetProcAddress(library, "HtmlHelpA"));
        HtmlHelpW = reinterpret_cast<PHtmlHelpW>(platform::GetProcAddress(library, "HtmlHelpW"));
        HtmlHelp = reinterpret_cast<PHtmlHelpA>(platform::GetProcAddress(library, "HtmlHelpA"));
        gNotLoadedReason = HtmlHelp != nullptr
                               ? std::string()
                               : "the help runtime \"" + path + R"(" has no entry "HtmlHelpA")";
    } catch (const std::exception& e) {
        gNotLoadedReason = std::string("the help runtime could not be loaded: ") + e.what();
    }
}

void UnloadHtmlHelp() {
    if (HelpLibraryHandle == nullptr)
        return;
    platform::FreeLibrary(HelpLibraryHandle);
    HtmlHelpA = nullptr;
    HtmlHelpW = nullptr;
    HtmlHelp = nullptr;
    HelpLibraryHandle = nullptr;
    gNotLoadedReason.clear();
}

std::string ReplaceSystemRootVariable(const std::string& Path) {
    static constexpr char Variable[] = "%SYSTEMROOT%"; // 12 characters
    if (Path.size() < 12)
        return Path;
    for (size_t i = 0; i < 12; ++i)
        if (UpperAscii(Path[i]) != Variable[i])
            return Path;
    return WithoutTrailingSeparator(platform::GetWindowsDirectory()) + Path.substr(12);
}

} // namespace hh
