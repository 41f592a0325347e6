// Commits that cannot be written leave the old file whole and say why. Root
// is not stopped by permissions, so there a forked child makes the folder
// read-only (or a tiny file system) for real in a mount namespace of its own.

#include "RegistryFixture.h"
#include "tests/support/InChild.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

using namespace platform;

namespace {

using CommitFailureTest = RegistryFixture;

constexpr int SkipStatus = ChildSkipStatus;

bool PrivateMounts() {
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

bool Remount(const std::string& Folder, bool ReadOnly) {
    return mount(nullptr, Folder.c_str(), nullptr,
                 MS_REMOUNT | MS_BIND | (ReadOnly ? MS_RDONLY : 0), nullptr) == 0;
}

std::string CommitError(TRegistry& Reg) {
    try {
        Reg.Commit();
    } catch (const ERegistryException& e) {
        return e.Message();
    }
    return "(no error)";
}

void WriteValue(TRegistry& Reg, const std::string& Text) {
    Reg.OpenKey("\\K", true);
    Reg.WriteString("v", Text);
}

} // namespace

TEST_F(CommitFailureTest, UnwritableFolderKeepsTheOldFile) {
    {
        TRegistry reg;
        WriteValue(reg, "old");
        reg.Commit();
    }
    const std::string old = ReadAll(Store());
    const std::string folder = std::filesystem::path(Store()).parent_path();
    std::string message, reason;
    if (geteuid() == 0) {
        reason = "Read-only file system";
        const auto [status, out] = InChild([&]() -> std::string {
            if (!PrivateMounts() ||
                mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
                !Remount(folder, true))
                return "SKIP: cannot make a read-only mount here";
            TRegistry reg;
            WriteValue(reg, "new");
            const std::string failed = CommitError(reg);
            if (ReadAll(Store()) != old)
                return "old file changed";
            // The changes are kept for another try once the folder is writable.
            if (!Remount(folder, false))
                return "SKIP: cannot remount";
            return failed + "|" + CommitError(reg);
        });
        if (status == SkipStatus)
            GTEST_SKIP() << out;
        ASSERT_EQ(status, 0) << out;
        message = out;
    } else {
        reason = "Permission denied";
        ASSERT_EQ(chmod(folder.c_str(), 0500), 0);
        TRegistry reg;
        WriteValue(reg, "new");
        message = CommitError(reg);
        EXPECT_EQ(ReadAll(Store()), old);
        chmod(folder.c_str(), 0700);
        message += "|" + CommitError(reg);
    }
    EXPECT_EQ(message, "Cannot write settings file \"" + Store() + "\": " + reason + "|(no error)");
    EXPECT_NE(ReadAll(Store()).find("\"v\"=\"new\""), std::string::npos);
    EXPECT_EQ(FilesLike("settings.reg.tmp").size(), 0u);
}

TEST_F(CommitFailureTest, FullDiskKeepsTheOldFile) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a small file system of its own";
    const std::string folder = std::filesystem::path(Store()).parent_path();
    std::filesystem::create_directories(folder);
    const auto [status, out] = InChild([&]() -> std::string {
        if (!PrivateMounts() || mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0)
            return "SKIP: cannot mount a small file system here";
        {
            TRegistry reg;
            WriteValue(reg, "old");
            reg.Commit();
        }
        const std::string old = ReadAll(Store());
        TRegistry reg;
        WriteValue(reg, std::string(256 * 1024, 'x'));
        const std::string failed = CommitError(reg);
        return failed + "|" + (ReadAll(Store()) == old ? "intact" : "changed") + "|" +
               std::to_string(FilesLike("settings.reg.tmp").size());
    });
    if (status == SkipStatus)
        GTEST_SKIP() << out;
    ASSERT_EQ(status, 0) << out;
    EXPECT_EQ(out,
              "Cannot write settings file \"" + Store() + "\": No space left on device|intact|0");
}

TEST_F(CommitFailureTest, FolderThatCannotBeCreated) {
    WriteAll(Dir + "/file", "not a folder");
    setenv("XDG_CONFIG_HOME", (Dir + "/file").c_str(), 1);
    TRegistry reg;
    WriteValue(reg, "x");
    EXPECT_EQ(CommitError(reg), "Cannot write settings file \"" + Store() + "\": Not a directory");
}
