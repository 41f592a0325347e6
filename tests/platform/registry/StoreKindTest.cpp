// The settings file as something other than a plain file: a symbolic link
// (kept, its target written), a FIFO, socket, device or folder (refused at
// once, never waited on); and a file whose contents the caller rejects.

#include "tests/support/InChild.h"

#include "RegistryFixture.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

using namespace platform;
namespace fs = std::filesystem;

namespace {

using StoreKindTest = RegistryFixture;

const std::string Header = "Windows Registry Editor Version 5.00\n\n";

void WriteValue(const std::string& Text) {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("\\K", true));
    reg.WriteString("v", Text);
    reg.Commit();
}

std::string ReadValue() {
    TRegistry reg;
    return reg.OpenKey("\\K", false) ? reg.ReadString("v") : "(no key)";
}

} // namespace

TEST_F(StoreKindTest, ALinkStaysAndItsTargetIsReplaced) {
    const std::string folder = fs::path(Store()).parent_path();
    fs::create_directories(folder);
    fs::create_directories(Dir + "/elsewhere");
    // Relative, chained through a second link, and absolute.
    fs::create_symlink("../../elsewhere/hop", Store());
    fs::create_symlink(Dir + "/elsewhere/real.reg", Dir + "/elsewhere/hop");
    WriteAll(Dir + "/elsewhere/real.reg", Header + "[HKEY_CURRENT_USER\\K]\n\"v\"=\"old\"\n");
    EXPECT_EQ(ReadValue(), "old");
    WriteValue("new");
    EXPECT_TRUE(fs::is_symlink(Store()));
    EXPECT_TRUE(fs::is_symlink(Dir + "/elsewhere/hop"));
    EXPECT_NE(ReadAll(Dir + "/elsewhere/real.reg").find("\"v\"=\"new\""), std::string::npos);
    EXPECT_EQ(ReadValue(), "new");
    EXPECT_EQ(FilesLike("settings.reg.tmp").size(), 0u);

    // A broken target is what is moved aside; the link stays and leads to the fresh file.
    WriteAll(Dir + "/elsewhere/real.reg", "damaged");
    const std::string message = ErrorOf([] { ReadValue(); });
    EXPECT_NE(message.find("moved aside to \"" + Dir + "/elsewhere/real.reg.broken-"),
              std::string::npos)
        << message;
    WriteValue("fresh");
    EXPECT_TRUE(fs::is_symlink(Store()));
    EXPECT_EQ(ReadValue(), "fresh");

    // A dangling link is written through: its target comes into being.
    fs::remove(Dir + "/elsewhere/real.reg");
    WriteValue("created");
    EXPECT_TRUE(fs::is_symlink(Store()));
    EXPECT_NE(ReadAll(Dir + "/elsewhere/real.reg").find("created"), std::string::npos);
}

TEST_F(StoreKindTest, AnythingButARegularFileIsRefusedAtOnce) {
    const std::string folder = fs::path(Store()).parent_path();
    fs::create_directories(folder);
    // Each kind is made at the store's path, or at a link's target.
    const std::vector<std::tuple<std::string, std::string, std::function<bool(const char*)>>>
        kinds = {
            {"a FIFO", "", [](const char* p) { return mkfifo(p, 0600) == 0; }},
            {"a socket", "",
             [](const char* p) {
                 const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
                 sockaddr_un address{};
                 address.sun_family = AF_UNIX;
                 std::snprintf(address.sun_path, sizeof address.sun_path, "%s", p);
                 const bool made =
                     bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
                 close(fd);
                 return made;
             }},
            {"a character device", "",
             [](const char* p) { return mknod(p, S_IFCHR | 0600, makedev(1, 3)) == 0; }},
            {"a folder", "", [](const char* p) { return mkdir(p, 0700) == 0; }},
            {"a FIFO", Dir + "/fifo", [](const char* p) { return mkfifo(p, 0600) == 0; }},
        };
    for (const auto& [kind, target, make] : kinds) {
        const std::string thing = target.empty() ? Store() : target;
        if (!target.empty())
            fs::create_symlink(target, Store());
        // In a child: before the mend a FIFO blocked the open for good.
        const auto [status, out] = InChild([&, &make = make]() -> std::string {
            alarm(10);
            TRegistry reg; // read while there is no file yet
            reg.OpenKey("\\K", true);
            reg.WriteString("v", "x");
            if (!make(thing.c_str()))
                return std::string("SKIP: ") + std::strerror(errno);
            return ErrorOf([] { TRegistry().KeyExists("\\K"); }) + "|" +
                   ErrorOf([&] { reg.Commit(); });
        });
        if (status == ChildSkipStatus) {
            std::printf("skipped %s: %s\n", kind.c_str(), out.c_str());
            fs::remove_all(thing);
            fs::remove(Store());
            continue;
        }
        ASSERT_EQ(status, 0) << kind << ": " << out;
        const std::string says =
            target.empty() ? "it is " + kind : "it leads to \"" + target + "\", which is " + kind;
        const std::string expected =
            "Cannot read settings file \"" + Store() + "\": " + says + ", not a regular file";
        EXPECT_EQ(out, expected + "|" + expected) << kind;
        // Nothing was moved, removed or replaced.
        EXPECT_TRUE(fs::exists(fs::symlink_status(thing))) << kind;
        EXPECT_FALSE(fs::is_regular_file(thing)) << kind;
        EXPECT_EQ(FilesLike("settings.reg.").size(), 1u) << kind; // the lock file only
        fs::remove_all(thing);
        fs::remove(Store());
    }
}

TEST_F(StoreKindTest, ARejectedFileIsMovedAsideUnlessReplacedMeanwhile) {
    WriteAll(Store(), Header + "[HKEY_CURRENT_USER\\K]\n\"v\"=hex(4):01,00\n");
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("\\K", false));
        const std::string message = ErrorOf([&] { reg.RejectStore("Failed to get data for 'v'"); });
        const auto aside = FilesLike("settings.reg.broken-");
        ASSERT_EQ(aside.size(), 1u) << message;
        EXPECT_EQ(message, "Failed to get data for 'v' (the settings file was moved aside to \"" +
                               aside[0] + "\")");
        EXPECT_FALSE(fs::exists(Store()));
    }
    WriteValue("first");
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("\\K", false));
    WriteValue("second"); // another copy saved since this one read the file
    EXPECT_EQ(ErrorOf([&] { reg.RejectStore("reason"); }), "reason");
    EXPECT_EQ(ReadValue(), "second");
    EXPECT_EQ(FilesLike("settings.reg.broken-").size(), 1u);
}
