#pragma once
// Settings large enough to take a while to save, and small helpers around
// the settings folder.

#include "core/SentrelSettingsCM.h"
#include "tests/support/TempConfig.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

// A number from the environment, or Default when it is unset or not a number.
inline long EnvNumber(const char* Name, long Default) {
    const char* text = std::getenv(Name);
    if (text == nullptr || *text == '\0')
        return Default;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return *end == '\0' ? value : Default;
}

// Count devices whose texts carry Tag, and plain values that differ by Tag,
// so two tags give two different files.
inline void FillSettings(TSentrelSettings& Settings, const std::string& Tag, int Count) {
    Settings.AutoStart = false; // the autostart entry is a file of its own
    Settings.PingInterval = static_cast<int32_t>(Tag.size());
    Settings.FormWidth = 640;
    Settings.FormHeight = 480;
    TDeviceDataCollection& devices = *Settings.Devices();
    devices.BeginUpdate();
    devices.Clear();
    for (int i = 0; i < Count; ++i) {
        TDeviceData* device = devices.Add();
        device->SetHost(Tag + "-" + std::to_string(i) + ".example");
        device->SetDescription(Tag);
        device->SetDeviceType(static_cast<TDeviceType>(i % DeviceTypeCount));
        device->SetMonitored(i % 3 != 0);
    }
    devices.EndUpdate();
}

// Files in the settings folder whose names start with Prefix.
inline std::vector<std::string> FilesLike(const TempConfig& Config, const std::string& Prefix) {
    std::vector<std::string> found;
    const auto folder = std::filesystem::path(Config.SettingsFile()).parent_path();
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (entry.path().filename().string().starts_with(Prefix))
            found.push_back(entry.path().string());
    std::sort(found.begin(), found.end());
    return found;
}
