// Any bytes as the settings file, through the real registry accessor in a
// throw-away XDG_CONFIG_HOME:
// - a file that does not read is reported with the file and its line, and
//   moved aside byte for byte; nothing takes its place;
// - a file that reads is left as it is by reading, and a commit keeps every
//   key and value of it beside the change: a string value of any bytes, which
//   comes back as it went in;
// - settings that load, saved and loaded again, give the same settings and
//   the same devices.

#include "core/SentrelSettingsCM.h"
#include "fuzz/common/RegCompare.h"
#include "platform/registry/RegFile.h"
#include "platform/registry/Registry.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;
using platform::ERegistryException;
using platform::TRegistry;

namespace {

std::string gHome;
std::string gFolder;
std::string gStore;

[[noreturn]] void Fault(const std::string& What) {
    std::fprintf(stderr, "%s\n", What.c_str());
    std::abort();
}

std::string ReadAll(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteAll(const std::string& Path, std::string_view Bytes) {
    std::ofstream(Path, std::ios::binary | std::ios::trunc)
        .write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
}

std::vector<std::string> FolderEntries() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(gFolder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void RemoveHome() {
    std::error_code ignored;
    fs::remove_all(gHome, ignored);
}

// The file did not read: the message names it and a line, and the file now
// lies beside under the name the message gives, exactly as it was.
void CheckMovedAside(const ERegistryException& Error, std::string_view Bytes) {
    const std::string& message = Error.Message();
    const std::string head = "Cannot read settings file \"" + gStore + "\": line ";
    if (!message.starts_with(head) || message.size() <= head.size() || message[head.size()] < '1' ||
        message[head.size()] > '9')
        Fault("unclear message: " + message);
    const std::string aside = " (moved aside to \"";
    const size_t at = message.rfind(aside);
    if (at == std::string::npos || !message.ends_with("\")"))
        Fault("the message does not say where the file went: " + message);
    const std::string target =
        message.substr(at + aside.size(), message.size() - at - aside.size() - 2);
    if (!target.starts_with(gStore + ".broken-"))
        Fault("moved aside under an unexpected name: " + target);
    if (fs::exists(gStore))
        Fault("something took the broken file's place");
    if (ReadAll(target) != Bytes)
        Fault("the broken file was not kept intact");
}

// What the devices come back as, in no particular order.
using DeviceFields = std::tuple<std::string, std::string, int, bool>;

std::vector<DeviceFields> Devices(const TSentrelSettings& Settings) {
    std::vector<DeviceFields> list;
    for (int i = 0; i < Settings.Devices()->Count(); ++i) {
        const TDeviceData* d = Settings.Devices()->Items(i);
        list.emplace_back(d->Host(), d->Description(), d->DeviceType(), d->Monitored());
    }
    std::sort(list.begin(), list.end());
    return list;
}

auto Plain(const TSentrelSettings& s) {
    return std::make_tuple(s.AutoStart, s.AutoScan, s.ShowWindow, s.AllowEchoChange,
                           s.AllowDeviceChanges, s.AllowClearLog, s.AllowChangeLogSize, s.FormTop,
                           s.FormLeft, s.FormWidth, s.FormHeight, s.EchoRequestSize, s.IPTimeToLive,
                           s.EchoTimeOut, s.PingInterval, s.DeviceLogSize, s.SystemLogSize);
}

void CheckSettingsRoundTrip() {
    TSentrelSettings first(nullptr);
    try {
        first.Load();
    } catch (const Exception&) {
        return; // a missing or mistyped value: the settings say which, nothing to save
    }
    first.Save();
    TSentrelSettings second(nullptr);
    second.Load();
    if (Plain(first) != Plain(second))
        Fault("settings changed on saving and loading again");
    if (Devices(first) != Devices(second))
        Fault("devices changed on saving and loading again");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/sentrel-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        Fault("cannot create a temporary folder");
    gHome = pattern;
    setenv("XDG_CONFIG_HOME", gHome.c_str(), 1);
    gStore = TRegistry::StorePath(platform::RegistryRoot::CurrentUser);
    gFolder = fs::path(gStore).parent_path();
    std::atexit(RemoveHome);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string_view bytes(reinterpret_cast<const char*>(Data), Size);
    fs::remove_all(gFolder);
    fs::create_directories(gFolder);
    WriteAll(gStore, bytes);

    {
        TRegistry reg;
        try {
            reg.KeyExists("\\Software");
        } catch (const ERegistryException& e) {
            CheckMovedAside(e, bytes);
            return 0;
        }
        if (ReadAll(gStore) != bytes || FolderEntries() != std::vector<std::string>{"settings.reg"})
            Fault("reading the settings changed the folder");

        // The accessor read the file; so does the file format on its own.
        std::unique_ptr<platform::reg::Key> expected;
        try {
            expected = platform::reg::ParseRegFile(bytes, "HKEY_CURRENT_USER");
        } catch (const platform::reg::RegFileError& e) {
            Fault(std::string("the accessor read a file the format rejects: ") + e.what());
        }
        // A value of any text, its name a piece of the same bytes.
        const std::string name(bytes.substr(0, Size > 0 ? Data[Size - 1] % 16 : 0));
        const std::string text(bytes);
        if (!reg.OpenKey("\\Fuzz\\Check", true))
            Fault("cannot open a new key");
        if (name.find_first_of("\r\n") != std::string::npos) {
            // No line of the file could hold such a name.
            try {
                reg.WriteString(name, text);
            } catch (const ERegistryException& e) {
                if (e.Message() != "Failed to set data for '" + name + "'")
                    Fault("unclear message: " + e.Message());
                return 0;
            }
            Fault("a value name with a line break was accepted");
        }
        reg.WriteString(name, text);
        reg.Commit();
        platform::reg::CreateKey(*expected, {"Fuzz", "Check"})
            .SetValue({name, platform::REG_SZ, text, false});
        const std::string committed = ReadAll(gStore);
        if (committed != platform::reg::WriteRegFile(*expected, "HKEY_CURRENT_USER"))
            Fault("a commit did not keep the file's keys and values:\n" + committed);

        TRegistry fresh;
        if (!fresh.OpenKey("\\Fuzz\\Check", false) || fresh.GetDataType(name) != platform::REG_SZ ||
            fresh.ReadString(name) != text)
            Fault("the text written did not come back as it went in");
    }

    WriteAll(gStore, bytes);
    CheckSettingsRoundTrip();
    return 0;
}
