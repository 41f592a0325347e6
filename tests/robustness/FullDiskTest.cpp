// Saving onto a full file system: Save raises a clear error, the old
// settings file stays whole and loads, no temporary file is left, and once
// there is room again the next Save goes through. The small file system is a
// tmpfs mounted over the settings folder in a mount namespace of the child
// process alone, so it needs root; otherwise the tests skip.

#include "RobustnessHelpers.h"

#include "platform/registry/Registry.h"

#include "tests/support/InChild.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

namespace {

constexpr int SkipStatus = ChildSkipStatus;

// A tmpfs with Options over the settings folder, seen by this process only.
bool MountSmallFileSystem(const TempConfig& Config, const std::string& Options) {
    const std::string folder = std::filesystem::path(Config.SettingsFile()).parent_path();
    std::filesystem::create_directories(folder);
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", folder.c_str(), "tmpfs", 0, Options.c_str()) == 0;
}

std::string SaveError(TSentrelSettings& Settings) {
    try {
        Settings.Save();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "(no error)";
}

// After a failed save: the file is Old and loads with OldCount devices, and
// no temporary file is left. "" when all holds.
std::string CheckOldKept(const TempConfig& Config, const std::string& Old, int OldCount) {
    if (Config.Read(Config.SettingsFile()) != Old)
        return "the old settings file changed";
    if (!FilesLike(Config, "settings.reg.tmp").empty())
        return "a temporary file was left behind";
    TSentrelSettings loaded(nullptr);
    loaded.Load();
    if (loaded.Devices()->Count() != OldCount)
        return "the old file loads " + std::to_string(loaded.Devices()->Count()) + " devices";
    return {};
}

class FullDiskTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to mount a small file system of its own";
    }

    void Run(const std::function<std::string()>& Body) {
        const auto [status, out] = InChild(Body);
        if (status == SkipStatus)
            GTEST_SKIP() << out.substr(6);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(out, "");
    }

    std::string NoSpace() const {
        return "Cannot write settings file \"" + Config.SettingsFile() +
               "\": No space left on device";
    }

    TempConfig Config;
};

} // namespace

TEST_F(FullDiskTest, SettingsLargerThanTheRoomLeft) {
    Run([&]() -> std::string {
        if (!MountSmallFileSystem(Config, "size=512k"))
            return "SKIP: cannot mount a small file system here";
        TSentrelSettings settings(nullptr);
        FillSettings(settings, "old", 100);
        settings.Save();
        const std::string old = Config.Read(Config.SettingsFile());

        FillSettings(settings, "new", 10000); // some 1.5 MB
        if (const std::string error = SaveError(settings); error != NoSpace())
            return "error: " + error;
        if (std::string fault = CheckOldKept(Config, old, 100); !fault.empty())
            return fault;

        // With room again, the same object saves.
        FillSettings(settings, "new", 1000);
        if (const std::string error = SaveError(settings); error != "(no error)")
            return "after making room: " + error;
        TSentrelSettings loaded(nullptr);
        loaded.Load();
        return loaded.Devices()->Count() == 1000 ? "" : "the new settings did not load";
    });
}

TEST_F(FullDiskTest, NoRoomForEvenASmallChange) {
    Run([&]() -> std::string {
        if (!MountSmallFileSystem(Config, "size=256k"))
            return "SKIP: cannot mount a small file system here";
        TSentrelSettings settings(nullptr);
        FillSettings(settings, "old", 20);
        settings.Save();
        const std::string old = Config.Read(Config.SettingsFile());

        // Fill what is left to the last block.
        const std::string filler =
            std::filesystem::path(Config.SettingsFile()).parent_path() / "filler";
        {
            std::ofstream out(filler, std::ios::binary);
            const std::string block(4096, 'x');
            while (out.write(block.data(), block.size()))
                ;
        }
        std::ofstream(filler, std::ios::binary | std::ios::app) << 'x';
        settings.PingInterval = 99;
        if (const std::string error = SaveError(settings); error != NoSpace())
            return "error: " + error;
        if (std::string fault = CheckOldKept(Config, old, 20); !fault.empty())
            return fault;
        std::filesystem::remove(filler);
        if (const std::string error = SaveError(settings); error != "(no error)")
            return "after making room: " + error;
        return {};
    });
}

TEST_F(FullDiskTest, NoFileCanBeCreated) {
    Run([&]() -> std::string {
        // Room for the folder, the lock file and the settings file, but not
        // for a fourth file: the temporary file cannot be created.
        if (!MountSmallFileSystem(Config, "size=4m,nr_inodes=4"))
            return "SKIP: cannot mount a small file system here";
        TSentrelSettings settings(nullptr);
        FillSettings(settings, "old", 20);
        settings.Save();
        const std::string old = Config.Read(Config.SettingsFile());
        if (old.empty())
            return "the first save wrote nothing";
        const auto other = std::filesystem::path(Config.SettingsFile()).parent_path() / "other";
        if (!(std::ofstream(other) << "x") || !std::filesystem::exists(other))
            return "SKIP: the file system counts its files otherwise";

        FillSettings(settings, "new", 20);
        if (const std::string error = SaveError(settings); error != NoSpace())
            return "error: " + error;
        return CheckOldKept(Config, old, 20);
    });
}
