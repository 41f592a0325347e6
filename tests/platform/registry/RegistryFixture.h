#pragma once
// A fresh XDG_CONFIG_HOME per test, and whole-file helpers.

#include "platform/registry/Registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

class RegistryFixture : public ::testing::Test {
public:
    void SetUp() override {
        char pattern[] = "/tmp/sentrel-registry-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Dir = pattern;
        setenv("XDG_CONFIG_HOME", Dir.c_str(), 1);
    }
    void TearDown() override {
        std::filesystem::remove_all(Dir);
        unsetenv("XDG_CONFIG_HOME");
    }

    static std::string Store() {
        return platform::TRegistry::StorePath(platform::RegistryRoot::CurrentUser);
    }

    static std::string ReadAll(const std::string& Path) {
        std::ifstream in(Path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    static void WriteAll(const std::string& Path, const std::string& Bytes) {
        std::filesystem::create_directories(std::filesystem::path(Path).parent_path());
        std::ofstream(Path, std::ios::binary) << Bytes;
    }

    // Files in the store's folder whose names start with Prefix.
    static std::vector<std::string> FilesLike(const std::string& Prefix) {
        std::vector<std::string> found;
        const auto folder = std::filesystem::path(Store()).parent_path();
        if (std::filesystem::exists(folder))
            for (const auto& entry : std::filesystem::directory_iterator(folder))
                if (entry.path().filename().string().starts_with(Prefix))
                    found.push_back(entry.path().string());
        std::sort(found.begin(), found.end());
        return found;
    }

    std::string Dir;
};

// The message of the registry error Action raises, "(no error)" when none.
inline std::string ErrorOf(const std::function<void()>& Action) {
    try {
        Action();
    } catch (const platform::ERegistryException& e) {
        return e.Message();
    }
    return "(no error)";
}
