// The accessor: reading and writing through keys, the file it commits, and
// what it does with a file it cannot read.

#include "platform/registry/FileStore.h"
#include "platform/registry/RegFile.h"

#include "RegistryFixture.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>

using namespace platform;

namespace {

const std::string Settings = "\\Software\\Kestrava\\Sentrel\\1.0";

using RegistryTest = RegistryFixture;

std::string Hex(const std::string& Bytes) {
    std::string out;
    char byte[4];
    for (unsigned char c : Bytes) {
        snprintf(byte, sizeof byte, "%02x,", c);
        out += byte;
    }
    return out;
}

// The store's durable-making calls while it lives, each with the file it was
// made on; a write in several parts counts once.
class CallLog : public reg::FileCalls {
public:
    CallLog() { reg::SetFileCalls(this); }
    ~CallLog() override { reg::SetFileCalls(nullptr); }
    ssize_t Write(int Fd, const void* Bytes, size_t Size) override {
        Note("write " + PathOf(Fd));
        return FileCalls::Write(Fd, Bytes, Size);
    }
    int Sync(int Fd) override {
        Note("fsync " + PathOf(Fd));
        return FileCalls::Sync(Fd);
    }
    int Rename(const char* From, const char* To) override {
        Note("rename " + std::filesystem::weakly_canonical(From).string() + " " +
             std::filesystem::weakly_canonical(To).string());
        return FileCalls::Rename(From, To);
    }
    std::vector<std::string> Calls;

private:
    static std::string PathOf(int Fd) {
        return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(Fd));
    }
    void Note(const std::string& Call) {
        if (Calls.empty() || Calls.back() != Call)
            Calls.push_back(Call);
    }
};

} // namespace

TEST_F(RegistryTest, ReadsTheEditorsExportAndKeepsWhatItDoesNotKnow) {
    const std::string exported = ReadAll(SENTREL_FIXTURES_DIR "/windows-regedit-export.reg");
    WriteAll(Store(), exported);
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(Settings, false));
        EXPECT_EQ(reg.ReadInteger("AutoScan"), 0);
        EXPECT_EQ(reg.ReadInteger("AllowEchoChange"), 1);
        EXPECT_EQ(reg.ReadInteger("ECHORequestSize"), 32);
        EXPECT_EQ(reg.ReadInteger("IPTimeToLive"), 64);
        EXPECT_EQ(reg.ReadInteger("ECHOTimeout"), 3000);
        EXPECT_EQ(reg.ReadInteger("PingInterval"), 15);
        EXPECT_EQ(reg.ReadInteger("SystemLogSize"), 200);
        EXPECT_EQ(reg.ReadInteger("DeviceLogSize"), 50);
        EXPECT_EQ(reg.ReadString("InstallPath"), "%ProgramFiles%\\Kestrava");
        EXPECT_EQ(reg.GetDataType("Notes"), REG_MULTI_SZ);
        EXPECT_EQ(ErrorOf([&] { reg.ReadString("LicenceBlob"); }),
                  "Invalid data type for 'LicenceBlob'");
        ASSERT_TRUE(reg.OpenKey("Devices", false));
        EXPECT_EQ(reg.GetKeyNames(),
                  (std::vector<std::string>{"127.0.10.254", "fileserver", "Laser-2F"}));
        ASSERT_TRUE(reg.OpenKeyReadOnly("127.0.10.254"));
        EXPECT_EQ(reg.ReadString("Description"), "Core router \"north\"");
        EXPECT_EQ(reg.ReadInteger("DeviceType"), 3);
        ASSERT_TRUE(reg.OpenKeyReadOnly(Settings + "\\Devices\\FILESERVER"));
        EXPECT_EQ(reg.ReadString("Description"), "Files and backups (C:\\Shares)");
        EXPECT_EQ(reg.ReadInteger("Monitored"), 0);
        ASSERT_TRUE(reg.OpenKeyReadOnly(Settings + "\\Devices\\Laser-2F"));
        EXPECT_EQ(reg.ReadString("Description"), "Drucker 2. Stock \xE2\x80\x93 Flur");
        EXPECT_EQ(reg.ReadString("Host"), "Laser-2F");
        ASSERT_TRUE(reg.OpenKeyReadOnly(Settings + "\\Form"));
        EXPECT_EQ(reg.ReadInteger("Left"), 800);
        EXPECT_EQ(reg.ReadInteger("Top"), 400);
        EXPECT_EQ(reg.ReadInteger("Height"), 259);
        EXPECT_EQ(reg.ReadInteger("Width"), 312);

        ASSERT_TRUE(reg.OpenKey(Settings + "\\Scratch", true));
        reg.WriteInteger("Written", 1);
        reg.Commit();
    }
    const std::string written = ReadAll(Store());
    const auto before = reg::ParseRegFile(exported, "HKEY_CURRENT_USER");
    auto after = reg::ParseRegFile(written, "HKEY_CURRENT_USER");
    const reg::Key* settings = reg::FindKey(*after, {"Software", "Kestrava", "Sentrel", "1.0"});
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(
        Hex(settings->FindValue("InstallPath")->Data),
        Hex(std::string(
            "%\0P\0r\0o\0g\0r\0a\0m\0F\0i\0l\0e\0s\0%\0\\\0K\0e\0s\0t\0r\0a\0v\0a\0\0\0", 48)));
    EXPECT_EQ(Hex(settings->FindValue("LicenceBlob")->Data),
              "4b,53,01,00,ff,fe,00,10,20,30,40,50,60,70,80,90,a0,b0,c0,d0,e0,f0,01,02,03,04,");
    EXPECT_EQ(Hex(settings->FindValue("Notes")->Data),
              Hex(std::string("f\0i\0r\0s\0t\0\0\0s\0e\0c\0o\0n\0d\0\0\0\0\0", 28)));
    EXPECT_EQ(settings->FindValue("InstalledOn")->Type, REG_QWORD);
    EXPECT_EQ(Hex(settings->FindValue("InstalledOn")->Data), "00,80,3e,d5,de,b1,9d,01,");
    // Apart from the new key, the file holds the same tree.
    ASSERT_TRUE(reg::RemoveKey(*after, {"Software", "Kestrava", "Sentrel", "1.0", "Scratch"}));
    EXPECT_EQ(reg::WriteRegFile(*after, "HKEY_CURRENT_USER"),
              reg::WriteRegFile(*before, "HKEY_CURRENT_USER"));
    EXPECT_NE(written.find("[HKEY_CURRENT_USER\\Software\\Kestrava]\n\n"), std::string::npos);
}

TEST_F(RegistryTest, EveryKindOfTextAndNameRoundTrips) {
    std::string big;
    for (size_t i = 0; big.size() < 65536; ++i)
        big += "line " + std::to_string(i) + " \xE2\x80\x93 \"q\" \\ \n";
    const std::vector<std::string> texts = {"",
                                            "plain",
                                            "\"quoted\"",
                                            "back\\slash\\",
                                            "C:\\",
                                            "a=b",
                                            "[x]",
                                            "]",
                                            "%s%d%n",
                                            "tab\there",
                                            "new\nline",
                                            "cr\r\nlf",
                                            "\x01\x1f\x7f",
                                            std::string("nul\0inside", 10),
                                            "\xff\xfe",
                                            "\x80",
                                            "\xE2\x80",
                                            "\xED\xA0\x80",
                                            "\xC0\xAF",
                                            "mixed \xE2\x80\x93\xff",
                                            "\xF0\x9F\x98\x80 emoji",
                                            "trailing space ",
                                            big};
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("\\Texts", true));
        for (size_t i = 0; i < texts.size(); ++i) {
            reg.WriteString("v" + std::to_string(i), texts[i]);
            if (texts[i].find_first_of("\r\n") == std::string::npos && !texts[i].empty())
                reg.WriteString(texts[i], "named");
        }
        for (const std::string key : {"a]b", "ends]", "ends] ", "[x", "q\"uote", "a=b", " lead",
                                      "%s", "\xff\xfe", "semi;colon", "-dash"}) {
            ASSERT_TRUE(reg.OpenKey("\\Keys\\" + key, true)) << key;
            reg.WriteString("", key);
        }
        reg.Commit();
    }
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\Texts"));
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(reg.ReadString("v" + std::to_string(i)), texts[i]) << i;
        if (texts[i].find_first_of("\r\n") == std::string::npos && !texts[i].empty()) {
            EXPECT_EQ(reg.ReadString(texts[i]), "named") << i;
        }
    }
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\Keys"));
    const auto keys = reg.GetKeyNames();
    EXPECT_EQ(keys.size(), 11u);
    for (const std::string& key : keys) {
        ASSERT_TRUE(reg.OpenKeyReadOnly("\\Keys\\" + key));
        EXPECT_EQ(reg.ReadString(""), key);
    }
}

TEST_F(RegistryTest, IntegersAndReadErrors) {
    TRegistry reg;
    EXPECT_EQ(ErrorOf([&] { reg.WriteInteger("x", 1); }), "Failed to set data for 'x'");
    ASSERT_TRUE(reg.OpenKey("\\K", true));
    for (int32_t n : {INT32_MIN, -1, 0, 1, INT32_MAX}) {
        reg.WriteInteger("n", n);
        EXPECT_EQ(reg.ReadInteger("n"), n);
    }
    reg.WriteString("s", "text");
    EXPECT_EQ(reg.ReadString("missing"), "");
    EXPECT_EQ(reg.GetDataType("missing"), REG_NONE);
    EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("missing"); }), "Failed to get data for 'missing'");
    EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("s"); }), "Failed to get data for 's'"); // 5 bytes
    EXPECT_EQ(ErrorOf([&] { reg.ReadString("n"); }), "Invalid data type for 'n'");
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("two\nlines", ""); }),
              "Failed to set data for 'two\nlines'");
    EXPECT_TRUE(reg.DeleteValue("N"));
    EXPECT_FALSE(reg.DeleteValue("n"));
    EXPECT_EQ(reg.GetValueNames(), std::vector<std::string>{"s"});

    ASSERT_TRUE(reg.OpenKeyReadOnly("\\K"));
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("s", "x"); }), "Failed to set data for 's'");
    EXPECT_FALSE(reg.DeleteValue("s"));
    EXPECT_EQ(reg.ReadString("s"), "text");
    reg.CloseKey();
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("s", "x"); }), "Failed to set data for 's'");
}

TEST_F(RegistryTest, AnIntegerIsFourBytesOrItsDataCannotBeGot) {
    // As the registry's own reader: data larger than four bytes fails before its
    // type is looked at; a DWORD of any other size fails as well.
    WriteAll(Store(), "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\K]\n"
                      "\"short\"=hex(4):01,00\n\"long\"=hex(4):01,00,00,00,00\n"
                      "\"empty\"=hex(4):\n\"text\"=\"true\"\n\"blob\"=hex:01,02,03,04,05\n"
                      "\"abc\"=\"abc\"\n\"bytes\"=hex:01,00,00,00\n\"exact\"=hex(4):2a,00,00,00\n");
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\K"));
    for (const char* name : {"short", "long", "empty", "text", "blob"})
        EXPECT_EQ(ErrorOf([&] { reg.ReadInteger(name); }),
                  std::string("Failed to get data for '") + name + "'");
    for (const char* name : {"abc", "bytes"})
        EXPECT_EQ(ErrorOf([&] { reg.ReadInteger(name); }),
                  std::string("Invalid data type for '") + name + "'");
    EXPECT_EQ(reg.ReadInteger("exact"), 42);
}

TEST_F(RegistryTest, KeysIgnoreLetterCase) {
    TRegistry reg;
    EXPECT_FALSE(reg.OpenKey("\\Software\\Kestrava", false));
    ASSERT_TRUE(reg.OpenKey("\\Software\\Kestrava", true));
    reg.WriteString("Name", "first");
    ASSERT_TRUE(reg.OpenKey("\\software\\KESTRAVA", false));
    EXPECT_EQ(reg.ReadString("NAME"), "first");
    reg.WriteString("nAmE", "second");
    EXPECT_EQ(reg.GetValueNames(), std::vector<std::string>{"Name"});
    for (const std::string name : {"beta", "Alpha", "ALPHA", "gamma", "Beta", "alpha"})
        ASSERT_TRUE(reg.OpenKey("\\Software\\Kestrava\\" + name, true));
    ASSERT_TRUE(reg.OpenKey("\\Software\\Kestrava", false));
    EXPECT_EQ(reg.GetKeyNames(), (std::vector<std::string>{"Alpha", "beta", "gamma"}));
    ASSERT_TRUE(reg.OpenKey("Alpha\\Deep\\Er", true)); // relative to the open key
    EXPECT_TRUE(reg.KeyExists("\\SOFTWARE\\kestrava\\alpha\\deep"));
    EXPECT_FALSE(reg.OpenKey("\\Nowhere", false));
    EXPECT_TRUE(reg.KeyExists("\\Software\\Kestrava\\Alpha\\Deep\\Er")); // still open there
    EXPECT_TRUE(reg.DeleteKey("\\software\\kestrava\\ALPHA"));
    EXPECT_FALSE(reg.DeleteKey("\\Software\\Kestrava\\Alpha"));
    EXPECT_FALSE(reg.KeyExists("\\Software\\Kestrava\\Alpha\\Deep"));
    reg.Commit();
    TRegistry again;
    ASSERT_TRUE(again.OpenKeyReadOnly("\\SOFTWARE\\KESTRAVA"));
    EXPECT_EQ(again.GetKeyNames(), (std::vector<std::string>{"beta", "gamma"}));
    EXPECT_EQ(again.ReadString("name"), "second");
    EXPECT_NE(ReadAll(Store()).find("[HKEY_CURRENT_USER\\Software\\Kestrava]\n\"Name\"="),
              std::string::npos);
}

TEST_F(RegistryTest, OnlyCommitTouchesTheDisk) {
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("\\K", true));
        reg.WriteString("a", "1");
        reg.Commit(); // nothing on disk yet: nothing read, nothing to lose
    }
    struct stat folder {
    }, file{};
    ASSERT_EQ(stat(Store().c_str(), &file), 0);
    ASSERT_EQ(stat(std::filesystem::path(Store()).parent_path().c_str(), &folder), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    const std::string committed = ReadAll(Store());
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("\\K", true));
        reg.WriteString("a", "2");
        reg.DeleteKey("\\K");
    } // destroyed without Commit
    EXPECT_EQ(ReadAll(Store()), committed);
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("\\K", false));
        EXPECT_EQ(reg.ReadString("a"), "1");
        reg.Commit(); // nothing changed: the file is not even rewritten
    }
    struct stat unchanged {};
    ASSERT_EQ(stat(Store().c_str(), &unchanged), 0);
    EXPECT_EQ(unchanged.st_ino, file.st_ino);
    EXPECT_EQ(FilesLike("settings.reg.tmp").size(), 0u);
}

// A crash right after the commit must find the old file or the whole new
// one: the data reaches the disk before the rename, the rename before the
// commit returns.
TEST_F(RegistryTest, ACommitSyncsTheNewFileBeforeTheRenameAndTheFolderAfterIt) {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("\\K", true));
    reg.WriteString("a", "1");
    CallLog log;
    reg.Commit();
    const std::string store = std::filesystem::canonical(Store());
    ASSERT_FALSE(log.Calls.empty());
    const std::string temporary = log.Calls[0].substr(log.Calls[0].find(' ') + 1);
    EXPECT_TRUE(temporary.starts_with(store + ".tmp-")) << temporary;
    EXPECT_EQ(log.Calls,
              (std::vector<std::string>{
                  "write " + temporary, "fsync " + temporary, "rename " + temporary + " " + store,
                  "fsync " + std::filesystem::path(store).parent_path().string()}));
}

TEST_F(RegistryTest, ACommitClearsWhatAKilledSaveLeftBehind) {
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("\\K", true));
        reg.WriteString("a", "1");
        reg.Commit();
    }
    WriteAll(Store() + ".tmp-Ab3xQz", "half a file"); // as a save killed mid-write leaves it
    WriteAll(Store() + ".tmp-notmine", "kept");       // not a name a save makes
    WriteAll(Store() + ".broken-20261208-010203", "kept");
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("\\K", true));
    reg.WriteString("a", "2");
    reg.Commit();
    EXPECT_EQ(FilesLike("settings.reg.tmp").size(), 1u);
    EXPECT_EQ(ReadAll(Store() + ".tmp-notmine"), "kept");
    EXPECT_EQ(ReadAll(Store() + ".broken-20261208-010203"), "kept");
}

TEST_F(RegistryTest, TwoAccessorsCommittingBothSurvive) {
    TRegistry first, second;
    ASSERT_TRUE(first.OpenKey("\\Shared", true));
    ASSERT_TRUE(second.OpenKey("\\Shared", true));
    EXPECT_EQ(second.ReadString("one"), ""); // both have read the (missing) file
    first.WriteString("one", "1");
    second.WriteString("two", "2");
    ASSERT_TRUE(second.OpenKey("\\OnlySecond", true));
    first.Commit();
    second.Commit();
    ASSERT_TRUE(second.OpenKey("\\Shared", false));
    EXPECT_EQ(second.ReadString("one"), "1"); // the commit brought in the other's change
    TRegistry reader;
    ASSERT_TRUE(reader.OpenKeyReadOnly("\\Shared"));
    EXPECT_EQ(reader.ReadString("one"), "1");
    EXPECT_EQ(reader.ReadString("two"), "2");
    EXPECT_TRUE(reader.KeyExists("\\OnlySecond"));
}

TEST_F(RegistryTest, ACommitOverAFileChangedSinceItWasReadKeepsBothChanges) {
    {
        TRegistry setup;
        ASSERT_TRUE(setup.OpenKey("\\Shared", true));
        setup.WriteString("old", "0");
        setup.Commit();
    }
    TRegistry first;
    ASSERT_TRUE(first.OpenKey("\\Shared", false));
    first.WriteString("one", "1");
    {
        TRegistry other;
        ASSERT_TRUE(other.OpenKey("\\Shared", false));
        other.WriteString("two", "2");
        other.Commit();
    }
    first.Commit();
    // The same accessor again, now on the file it wrote itself.
    first.WriteString("three", "3");
    ASSERT_TRUE(first.DeleteValue("old"));
    first.Commit();
    TRegistry reader;
    ASSERT_TRUE(reader.OpenKeyReadOnly("\\Shared"));
    EXPECT_EQ(reader.GetValueNames(), (std::vector<std::string>{"two", "one", "three"}));
}

TEST_F(RegistryTest, CopiesCommittingAtOnceLoseNothing) {
    constexpr int Copies = 4, Commits = 10;
    std::vector<pid_t> children;
    for (int copy = 0; copy < Copies; ++copy) {
        const pid_t pid = fork();
        if (pid == 0) {
            int failed = 0;
            for (int i = 0; i < Commits; ++i) {
                try {
                    TRegistry reg;
                    reg.OpenKey("\\Shared", true);
                    reg.WriteInteger("c" + std::to_string(copy) + "-" + std::to_string(i), i);
                    reg.Commit();
                } catch (const std::exception&) {
                    ++failed;
                }
            }
            _exit(failed);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\Shared"));
    EXPECT_EQ(reg.GetValueNames().size(), static_cast<size_t>(Copies * Commits));
}

TEST_F(RegistryTest, BrokenFilesAreMovedAsideAndNamed) {
    const std::string head =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n";
    const std::vector<std::tuple<std::string, int, std::string>> broken = {
        {"", 1, "expected \"Windows Registry Editor Version 5.00\""},
        {"REGEDIT4\n", 1, "expected \"Windows Registry Editor Version 5.00\""},
        {"Windows Registry Editor Version 5.00\n\"v\"=\"x\"\n", 2, "before the first [key]"},
        {head + "\"v\"=\"never closed\r\n", 4, "unterminated string"},
        {head + "\"v=\"x\"\n", 4, "expected \"name\"=value"},
        {head + "\"v\"=dword:123456789\n", 4, "bad dword"},
        {head + "\"v\"=dword:\n", 4, "bad dword"},
        {head + "\"v\"=dword:12g4\n", 4, "bad dword"},
        {head + "\"v\"=hex:01,2x,03\n", 4, "bad hex byte \"2x\""},
        {head + "\"v\"=hex:01,,03\n", 4, "bad hex byte"},
        {head + "\"v\"=hex:01,\\\n  02,\\\n  100\n", 6, "bad hex byte \"100\""},
        {head + "\"v\"=hex:01,\\\n", 4, "continues past the end"},
        {head + "\"v\"=hex(zz):01\n", 4, "hex(N)"},
        {head + "\"v\"=\"x\" trailing\n", 4, "after the closing quote"},
        {head + "\"v\"=text\n", 4, "unknown value type"},
        {head + "\"v\"=\n", 4, "missing data"},
        {head + "garbage\n", 4, "expected \"name\"=value"},
        {head + "[HKEY_LOCAL_MACHINE\\Software]\n", 4, "not under HKEY_CURRENT_USER"},
        {head + "[HKEY_CURRENT_USER\\a\\\\b]\n", 4, "empty key name"},
        {head + "[HKEY_CURRENT_USER\\a] x\n", 4, "after the key's closing"},
        {head + "[HKEY_CURRENT_USER\\a\n", 4, "expected ']'"},
        {std::string("\xFF\xFE"
                     "W\0",
                     4) +
             "\x69",
         1, "inside a UTF-16 character"},
        {std::string("\x00\x01\x02\xff", 4), 1, "expected \"Windows Registry"},
    };
    for (const auto& [content, line, reason] : broken) {
        WriteAll(Store(), content);
        const std::string message = ErrorOf([] {
            TRegistry reg;
            reg.OpenKey("\\K", false);
        });
        EXPECT_EQ(message.rfind("Cannot read settings file \"" + Store() + "\": line " +
                                    std::to_string(line) + ": ",
                                0),
                  0u)
            << message;
        EXPECT_NE(message.find(reason), std::string::npos) << message;
        const auto aside = FilesLike("settings.reg.broken-");
        ASSERT_EQ(aside.size(), 1u) << message;
        EXPECT_NE(message.find("moved aside to \"" + aside[0] + "\""), std::string::npos)
            << message;
        EXPECT_EQ(ReadAll(aside[0]), content);
        EXPECT_FALSE(std::filesystem::exists(Store()));
        std::filesystem::remove(aside[0]);
    }
    // Two broken files in the same second keep apart; the next commit starts afresh.
    WriteAll(Store(), "first broken");
    TRegistry reg;
    EXPECT_THROW(reg.KeyExists("\\K"), ERegistryException);
    WriteAll(Store(), "second broken");
    EXPECT_THROW(reg.KeyExists("\\K"), ERegistryException);
    ASSERT_EQ(FilesLike("settings.reg.broken-").size(), 2u);
    ASSERT_TRUE(reg.OpenKey("\\K", true));
    reg.WriteInteger("fresh", 1);
    reg.Commit();
    TRegistry fresh;
    ASSERT_TRUE(fresh.OpenKey("\\K", false));
    EXPECT_EQ(fresh.ReadInteger("fresh"), 1);
    std::vector<std::string> contents;
    for (const auto& file : FilesLike("settings.reg.broken-"))
        contents.push_back(ReadAll(file));
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(contents, (std::vector<std::string>{"first broken", "second broken"}));
}

TEST_F(RegistryTest, TenThousandDevicesLoadAndSave) {
    using Clock = std::chrono::steady_clock;
    auto elapsed = [](Clock::time_point Since) {
        return std::chrono::duration<double, std::milli>(Clock::now() - Since).count();
    };
    {
        TRegistry reg;
        for (int i = 0; i < 10000; ++i) {
            ASSERT_TRUE(reg.OpenKey(Settings + "\\Devices\\10.0." + std::to_string(i), true));
            reg.WriteString("Host", "10.0." + std::to_string(i));
            reg.WriteString("Description",
                            "Device \"" + std::to_string(i) + "\" \xE2\x80\x93 rack");
            reg.WriteInteger("DeviceType", i % 4);
            reg.WriteInteger("Monitored", i % 2);
        }
        const auto start = Clock::now();
        reg.Commit();
        std::printf("[ timing ] 10,000 devices: save %.1f ms (%zu bytes)\n", elapsed(start),
                    ReadAll(Store()).size());
    }
    const auto start = Clock::now();
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(Settings + "\\Devices", false));
    const double load = elapsed(start);
    EXPECT_EQ(reg.GetKeyNames().size(), 10000u);
    ASSERT_TRUE(reg.OpenKey("10.0.9999", false));
    EXPECT_EQ(reg.ReadInteger("DeviceType"), 3);
    reg.WriteInteger("Monitored", 0);
    const auto commit = Clock::now();
    reg.Commit(); // read again under the lock, replay, write
    std::printf("[ timing ] 10,000 devices: load %.1f ms, commit of one change %.1f ms\n", load,
                elapsed(commit));
}
