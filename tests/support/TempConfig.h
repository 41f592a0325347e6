#pragma once
// A throw-away settings folder: XDG_CONFIG_HOME points into a new temporary
// folder for the object's lifetime and is removed with it. The system
// configuration folders (XDG_CONFIG_DIRS) are one inside it, so that no
// policy of the machine's applies.

#include <string>

class TempConfig {
public:
    TempConfig();
    ~TempConfig();
    TempConfig(const TempConfig&) = delete;
    TempConfig& operator=(const TempConfig&) = delete;

    const std::string& Home() const { return FHome; }
    // $XDG_CONFIG_HOME/Kestrava/Sentrel/settings.reg
    std::string SettingsFile() const;
    // The administrator's policy file in the system configuration folder.
    std::string PolicyFile() const;
    std::string Read(const std::string& Path) const;
    void Write(const std::string& Path, const std::string& Content) const;

private:
    std::string FHome;
    std::string FOldValue;
    bool FHadOldState = false;
    std::string FOldState;
    bool FHadOld = false;
    bool FHadOldDirs = false;
    std::string FOldDirs;
};
