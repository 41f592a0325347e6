#include "tests/support/TempConfig.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

TempConfig::TempConfig() {
    char pattern[] = "/tmp/sentrel-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("cannot create a temporary folder");
    FHome = pattern;
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) {
        FHadOld = true;
        FOldValue = old;
    }
    if (const char* old = std::getenv("XDG_STATE_HOME")) {
        FHadOldState = true;
        FOldState = old;
    }
    if (const char* old = std::getenv("XDG_CONFIG_DIRS")) {
        FHadOldDirs = true;
        FOldDirs = old;
    }
    setenv("XDG_CONFIG_HOME", FHome.c_str(), 1);
    setenv("XDG_CONFIG_DIRS", (FHome + "/xdg").c_str(), 1);
    // The history goes beside the settings, never into the user's own.
    setenv("XDG_STATE_HOME", (FHome + "/state").c_str(), 1);
}

TempConfig::~TempConfig() {
    if (FHadOld)
        setenv("XDG_CONFIG_HOME", FOldValue.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
    if (FHadOldDirs)
        setenv("XDG_CONFIG_DIRS", FOldDirs.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_DIRS");
    if (FHadOldState)
        setenv("XDG_STATE_HOME", FOldState.c_str(), 1);
    else
        unsetenv("XDG_STATE_HOME");
    std::error_code ignored;
    std::filesystem::remove_all(FHome, ignored);
}

std::string TempConfig::SettingsFile() const {
    return FHome + "/Kestrava/Sentrel/settings.reg";
}

std::string TempConfig::PolicyFile() const {
    return FHome + "/xdg/Kestrava/Sentrel/policy.reg";
}

std::string TempConfig::Read(const std::string& Path) const {
    std::ifstream in(Path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

void TempConfig::Write(const std::string& Path, const std::string& Content) const {
    std::filesystem::create_directories(std::filesystem::path(Path).parent_path());
    std::ofstream out(Path, std::ios::binary | std::ios::trunc);
    out << Content;
}
