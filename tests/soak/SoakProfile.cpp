#include "tests/soak/SoakProfile.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace {

std::string Dword(const char* Name, unsigned Value) {
    char line[80];
    std::snprintf(line, sizeof(line), "\"%s\"=dword:%08x\n", Name, Value);
    return line;
}

} // namespace

std::string SoakHost(int Index) {
    return "127.1." + std::to_string(Index / 250) + "." + std::to_string(Index % 250 + 1);
}

void WriteSoakProfile(const std::string& ConfigHome, int Devices) {
    const std::filesystem::path folder = std::filesystem::path(ConfigHome) / "Kestrava" / "Sentrel";
    std::filesystem::create_directories(folder);
    const std::string root = "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0";
    std::string text = "Windows Registry Editor Version 5.00\n\n" + root + "]\n";
    // Scanning starts only when the driver says so; the window shows.
    text += Dword("AutoScan", 0) + Dword("ShowWindow", 1);
    for (const char* allow :
         {"AllowEchoChange", "AllowDeviceChanges", "AllowClearLog", "AllowChangeLogSize"})
        text += Dword(allow, 1);
    text += Dword("ECHORequestSize", 32) + Dword("IPTimeToLive", 64) + Dword("ECHOTimeout", 1000) +
            Dword("PingInterval", 1) + Dword("SystemLogSize", 5000) + Dword("DeviceLogSize", 50) +
            "\n";
    for (int i = 0; i < Devices; ++i) {
        const std::string host = SoakHost(i);
        text += root + "\\Devices\\" + host + "]\n\"Host\"=\"" + host +
                "\"\n\"Description\"=\"soak device " + std::to_string(i + 1) + "\"\n" +
                Dword("DeviceType", static_cast<unsigned>(i % 4)) + Dword("Monitored", 1) + "\n";
    }
    const std::filesystem::path file = folder / "settings.reg";
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
    std::filesystem::permissions(file, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write);
}
