// Help-runtime detection and the diagnostic log: version names, the debug
// switch, the header's exact lines, where the log goes, and that the log and
// the writability probe leave other people's files and links alone.

#include "help/hh_funcs.h"
#include "platform/Directories.h"
#include "platform/Process.h"
#include "tests/support/TempConfig.h"

#include <elf.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>

// This test program's own version, read back from its file.
SENTREL_FILE_VERSION(3, 1, 4, 1592);

using namespace hh_funcs;
namespace fs = std::filesystem;

namespace {

TFileVersion V(uint16_t A, uint16_t B, uint16_t C, uint16_t D) {
    return MakeFileVersion(A, B, C, D);
}

std::string Read(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

void Write(const std::string& Path, const std::string& Content) {
    std::ofstream out(Path, std::ios::binary | std::ios::trunc);
    out << Content;
}

bool Exists(const std::string& Path) {
    struct stat st {};
    return lstat(Path.c_str(), &st) == 0;
}

std::vector<std::string> Entries(const std::string& Dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Lines of a log, each checked to end in CR LF.
std::vector<std::string> LogLines(const std::string& Path) {
    const std::string text = Read(Path);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        EXPECT_NE(end, std::string::npos) << "last line lacks CR LF";
        if (end == std::string::npos)
            break;
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// A minimal 64-bit ELF file whose only content is a version section, with
// Signature in place of the real one when given.
void WriteElf(const std::string& Path, TFileVersion Version,
              uint32_t Signature = FileVersionSignature) {
    const TFileVersionRecord record{Signature,
                                    static_cast<uint32_t>(Version.Major) << 16 | Version.Minor,
                                    static_cast<uint32_t>(Version.Release) << 16 | Version.Build};
    const char names[] = "\0.sentrel_version\0.shstrtab";
    const uint64_t recordOffset = sizeof(Elf64_Ehdr);
    const uint64_t namesOffset = recordOffset + sizeof(record);
    const uint64_t headersOffset = (namesOffset + sizeof(names) + 7) / 8 * 8;

    Elf64_Ehdr header{};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    header.e_ident[EI_VERSION] = EV_CURRENT;
    header.e_type = ET_DYN;
    header.e_machine = EM_X86_64;
    header.e_version = EV_CURRENT;
    header.e_shoff = headersOffset;
    header.e_ehsize = sizeof(Elf64_Ehdr);
    header.e_shentsize = sizeof(Elf64_Shdr);
    header.e_shnum = 3;
    header.e_shstrndx = 2;
    Elf64_Shdr sections[3] = {};
    sections[1].sh_name = 1;
    sections[1].sh_type = SHT_PROGBITS;
    sections[1].sh_offset = recordOffset;
    sections[1].sh_size = sizeof(record);
    sections[2].sh_name = 18;
    sections[2].sh_type = SHT_STRTAB;
    sections[2].sh_offset = namesOffset;
    sections[2].sh_size = sizeof(names);

    std::string file(headersOffset + sizeof(sections), '\0');
    std::memcpy(file.data(), &header, sizeof(header));
    std::memcpy(file.data() + recordOffset, &record, sizeof(record));
    std::memcpy(file.data() + namesOffset, names, sizeof(names));
    std::memcpy(file.data() + headersOffset, sections, sizeof(sections));
    Write(Path, file);
}

class ScopedEnv {
public:
    ScopedEnv(const char* Name, const char* Value) : FName(Name) {
        if (const char* old = std::getenv(Name))
            FOld = old;
        if (Value != nullptr)
            setenv(Name, Value, 1);
        else
            unsetenv(Name);
    }
    ~ScopedEnv() {
        if (FOld)
            setenv(FName.c_str(), FOld->c_str(), 1);
        else
            unsetenv(FName.c_str());
    }

private:
    std::string FName;
    std::optional<std::string> FOld;
};

// Every test gets its own program, system and temporary folders, and an
// empty registry, so no help runtime is found unless the test puts one there.
class Diagnostics : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/sentrel-diag-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Root = pattern;
        Program = Root + "/program";
        System = Root + "/system";
        Temp = Root + "/temp";
        Runtime = Root + "/runtime";
        for (const auto& dir : {Program, System, Temp, Runtime})
            fs::create_directory(dir);
        fs::permissions(Runtime, fs::perms::owner_all);
        platform::SetSystemDirectory(System);
        TmpDir.emplace("TMPDIR", Temp.c_str());
        RuntimeDir.emplace("XDG_RUNTIME_DIR", Runtime.c_str());
    }
    void TearDown() override {
        Finalize();
        platform::SetSystemDirectory("");
        TmpDir.reset();
        RuntimeDir.reset();
        fs::permissions(Program, fs::perms::owner_all);
        std::error_code ignored;
        fs::remove_all(Root, ignored);
    }

    std::string ProgramFile() const { return Program + "/sentrel"; }
    std::string ProgramLog() const { return Program + "/HHDebug.txt"; }
    std::string TempLog() const { return Temp + "/HHDebug.txt"; }

    TempConfig Registry;
    std::string Root, Program, System, Temp, Runtime;
    std::optional<ScopedEnv> TmpDir, RuntimeDir;
};

// ---- Versions and their names -------------------------------------------------

TEST(Versions, CompareVersionTakesThePartsInOrderAsUnsignedNumbers) {
    EXPECT_EQ(CompareVersion(V(5, 2, 3790, 2453), V(5, 2, 3790, 2453)), 0);
    EXPECT_EQ(CompareVersion(V(5, 0, 0, 0), V(4, 65535, 65535, 65535)), 1);
    EXPECT_EQ(CompareVersion(V(4, 72, 7289, 65535), V(4, 72, 7290, 0)), -1);
    EXPECT_EQ(CompareVersion(V(6, 0, 2900, 65535), V(6, 0, 2900, 1)), 1);
    EXPECT_EQ(V(5, 2, 3790, 2453).Text, "5.2.3790.2453");
    EXPECT_EQ(MakeFileVersion(0x00050002u, 0x0ECE0995u).Text, "5.2.3790.2453");
}

TEST(Versions, HelpRuntimeNamesAtTheirBoundaries) {
    EXPECT_EQ(HelpFriendlyName(V(5, 2, 3669, 0)), "1.4a");
    EXPECT_EQ(HelpFriendlyName(V(5, 2, 3669, 1)), "> 1.4a");
    EXPECT_EQ(HelpFriendlyName(V(5, 2, 3668, 65535)), "1.4");
    EXPECT_EQ(HelpFriendlyName(V(4, 72, 7290, 0)), "1.0");
    EXPECT_EQ(HelpFriendlyName(V(4, 72, 7289, 0)), "< 1.0");
    EXPECT_EQ(HelpFriendlyName(TFileVersion{}), "");
}

TEST(Versions, BrowserNamesOfTheStrictRowsAndTheEdges) {
    EXPECT_EQ(BrowserFriendlyName(V(8, 0, 0, 1)), "> Internet Explorer 8");
    EXPECT_EQ(BrowserFriendlyName(V(8, 0, 0, 0)), "> Internet Explorer 7");
    EXPECT_EQ(BrowserFriendlyName(V(7, 0, 0, 1)), "> Internet Explorer 7");
    EXPECT_EQ(BrowserFriendlyName(V(7, 0, 0, 0)), "Internet Explorer 6 (Windows Server 2003)");
    EXPECT_EQ(BrowserFriendlyName(V(6, 0, 2900, 2180)), "Internet Explorer 6 (Windows XP SP2)");
    EXPECT_EQ(BrowserFriendlyName(V(6, 0, 2900, 2179)), "Internet Explorer 6 SP1");
    EXPECT_EQ(BrowserFriendlyName(V(4, 40, 308, 0)), "Internet Explorer 1.0 (Plus!)");
    EXPECT_EQ(BrowserFriendlyName(V(4, 40, 307, 9)), "< Internet Explorer 1.0 (Plus!)");
    EXPECT_EQ(BrowserFriendlyName(TFileVersion{}), "");
}

TEST(Versions, OldBrowserEnginesHaveTheirBuildMovedIntoRelease) {
    const TFileVersion adjusted = AdjustBrowserVersion(V(4, 70, 0, 1158));
    EXPECT_EQ(adjusted.Text, "4.70.1158.0");
    EXPECT_EQ(BrowserFriendlyName(adjusted), "Internet Explorer 3.0 (OSR2)");
    EXPECT_EQ(AdjustBrowserVersion(V(4, 40, 0, 520)).Text, "4.40.520.0");
    EXPECT_EQ(AdjustBrowserVersion(V(4, 71, 0, 1712)).Text, "4.71.0.1712");
    EXPECT_EQ(AdjustBrowserVersion(V(4, 70, 1, 1158)).Text, "4.70.1.1158");
    EXPECT_EQ(AdjustBrowserVersion(V(5, 0, 0, 2014)).Text, "5.0.0.2014");
}

TEST_F(Diagnostics, FileVersionsComeFromTheEmbeddedRecordOnly) {
    WriteElf(Root + "/versioned", V(5, 2, 3790, 2453));
    EXPECT_EQ(GetFileVersionText(Root + "/versioned"), "5.2.3790.2453");
    // Built into this program by SENTREL_FILE_VERSION.
    EXPECT_EQ(GetFileVersionText(platform::ExecutablePath()), "3.1.4.1592");

    WriteElf(Root + "/forged", V(1, 2, 3, 4), 0x12345678u);
    Write(Root + "/text", "5.2.3790.2453\n");
    ASSERT_EQ(mkfifo((Root + "/pipe").c_str(), 0600), 0);
    std::string truncated = Read(Root + "/versioned");
    truncated.resize(sizeof(Elf64_Ehdr) + 4);
    Write(Root + "/truncated", truncated);
    for (const char* name : {"forged", "text", "pipe", "truncated", "missing"}) {
        const TFileVersion version = GetFileVersion(Root + "/" + name);
        EXPECT_EQ(version.Text, "") << name;
        EXPECT_EQ(CompareVersion(version, V(0, 0, 0, 0)), 0) << name;
    }
    EXPECT_EQ(GetFileVersionText(""), "");
}

TEST_F(Diagnostics, InstalledHelpRuntimeAndBrowserEngineAreNamed) {
    WriteElf(System + "/hhctrl.ocx", V(5, 2, 3669, 0));
    WriteElf(System + "/Shdocvw.dll", V(4, 70, 0, 1158));
    InitializeFor(ProgramFile(), {ProgramFile()});
    EXPECT_TRUE(_hhInstalled);
    EXPECT_EQ(_hhVerStr, "5.2.3669.0");
    EXPECT_EQ(_hhFriendlyVerStr, "1.4a");
    EXPECT_TRUE(_ieInstalled);
    EXPECT_EQ(_ieVerStr, "4.70.1158.0");
    EXPECT_EQ(_ieFriendlyVerStr, "Internet Explorer 3.0 (OSR2)");
}

TEST_F(Diagnostics, AHelpRuntimeWithoutVersionCountsAsNotInstalled) {
    Write(System + "/hhctrl.ocx", "not a module");
    InitializeFor(ProgramFile(), {ProgramFile()});
    EXPECT_FALSE(_hhInstalled);
    EXPECT_EQ(_hhVerStr, "");
    EXPECT_EQ(_hhFriendlyVerStr, "");
    EXPECT_FALSE(_ieInstalled);
    EXPECT_EQ(_ieVerStr, "");
    EXPECT_EQ(_ieFriendlyVerStr, "");
}

// ---- The switch and the header ------------------------------------------------

TEST_F(Diagnostics, WithoutTheSwitchTheOldLogGoesAndNoneIsWritten) {
    Write(ProgramLog(), "the previous run's log\r\n");
    InitializeFor(ProgramFile(), {ProgramFile(), "debug", "--debug", "/debugs"});
    EXPECT_FALSE(DebugSwitch);
    EXPECT_EQ(LogDir, Program);
    EXPECT_FALSE(Exists(ProgramLog()));
    EXPECT_EQ(Entries(Program), std::vector<std::string>{}); // no scratch file either
}

TEST_F(Diagnostics, DebugArgumentInAnyCaseAtAnyPositionOrTheFileSwitchesOn) {
    EXPECT_TRUE(HasDebugArgument({"p", "-DEBUG"}));
    EXPECT_TRUE(HasDebugArgument({"p", "one", "two", "/DeBuG", "three"}));
    EXPECT_FALSE(HasDebugArgument({"-debug"})); // the program path is no argument
    EXPECT_FALSE(HasDebugArgument({"p", "debug", "--debug", "-debug2", "/deb"}));

    InitializeFor(ProgramFile(), {ProgramFile(), "x", "/Debug"});
    EXPECT_TRUE(DebugSwitch);
    EXPECT_TRUE(Exists(ProgramLog()));

    Write(Program + "/debug.debug", "");
    InitializeFor(ProgramFile(), {ProgramFile()});
    EXPECT_TRUE(DebugSwitch);
    EXPECT_TRUE(Exists(ProgramLog()));
}

TEST_F(Diagnostics, HeaderWithoutArgumentsLineByLine) {
    fs::copy_file(platform::ExecutablePath(), ProgramFile());
    Write(Program + "/debug.debug", "");
    ScopedEnv locale("LC_ALL", "de_AT.UTF-8");
    InitializeFor(ProgramFile(), {ProgramFile()});

    const std::string rule79 = std::string(79, '=') + "\r\n";
    EXPECT_EQ(Read(ProgramLog()).substr(0, 81), rule79);
    const std::vector<std::string> lines = LogLines(ProgramLog());
    ASSERT_EQ(lines.size(), 27u);
    const std::string os = GetOperatingSystem().Name;
    const std::vector<std::pair<int, std::string>> exact = {
        {1, std::string(79, '=')},
        {2, "Log File:             \t" + ProgramLog()},
        {5, "SysLocale.DefaultLCID: \t0x0C07 (3079)"},
        {6, "SysLocale.PriLangID:   \t0x0007 (7)"},
        {7, "SysLocale.SubLangID:   \t0x0003 (3)"},
        {9, std::string(79, '-')},
        {10, "EXE Path =          \t" + ProgramFile()},
        {11, "EXE Version =       \t3.1.4.1592"},
        {12, "Cmdline Param(s) =  \t"},
        {13, "Actual CmdLine =  \t" + ProgramFile()},
        {14, "_RunDir =           \t" + Program},
        {15, "_ModuleName =       \tsentrel"},
        {16, "_ModuleDir =        \t" + Program},
        {17, "_ModulePath =        \t" + ProgramFile()},
        {18, "Module Version =       \t3.1.4.1592"},
        {19, std::string(79, '-')},
        {20, "_hhInstalled =      \tNO"},
        {21, "_hhVerStr =         \t"},
        {22, "_hhFriendlyVerStr = \t"},
        {23, std::string(79, '-')},
        {24, "_ieInstalled =      \tNO"},
        {25, "_ieVerStr =         \t"},
        {26, "_ieFriendlyVerStr = \t"},
        {27, std::string(79, '=')},
    };
    for (const auto& [number, text] : exact)
        EXPECT_EQ(lines[static_cast<size_t>(number - 1)], text) << "line " << number;
    EXPECT_TRUE(lines[2].starts_with("Date:                 \t")) << lines[2];
    EXPECT_TRUE(lines[3].starts_with("Operating System:      \t" + os + " ")) << lines[3];
    EXPECT_TRUE(lines[3].find(" (Build ") != std::string::npos) << lines[3];
    EXPECT_TRUE(lines[7].starts_with("DecimalSeparator:      \t")) << lines[7];
}

TEST_F(Diagnostics, HeaderJoinsSeveralArgumentsWithBars) {
    fs::copy_file(platform::ExecutablePath(), ProgramFile());
    InitializeFor(ProgramFile(), {"./not-here", "a", "-debug", "b c", "it's"});
    const std::vector<std::string> lines = LogLines(ProgramLog());
    ASSERT_EQ(lines.size(), 27u);
    // The program's own path, not argument zero (which has no folder when
    // started through PATH).
    EXPECT_EQ(lines[9], "EXE Path =          \t" + ProgramFile());
    EXPECT_EQ(lines[10], "EXE Version =       \t3.1.4.1592");
    EXPECT_EQ(lines[11], "Cmdline Param(s) =  \ta | -debug | b c | it's");
    EXPECT_EQ(lines[12], "Actual CmdLine =  \t./not-here a -debug 'b c' 'it'\\''s'");
    EXPECT_EQ(lines[13], "_RunDir =           \t" + Program);
}

TEST_F(Diagnostics, TheRawCommandLineIsCutTo255Characters) {
    const std::string word(300, 'x');
    InitializeFor(ProgramFile(), {"p", "-debug", word});
    const std::vector<std::string> lines = LogLines(ProgramLog());
    ASSERT_EQ(lines.size(), 27u);
    EXPECT_EQ(lines[12], "Actual CmdLine =  \t" + ("p -debug " + word).substr(0, 255));
}

TEST(Platform, OperatingSystemAndLocaleValues) {
    const TOperatingSystem debian =
        DescribeOperatingSystem("Linux", "6.1.0-13-amd64", "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(debian.Name, "Linux");
    EXPECT_EQ(debian.Major, 6);
    EXPECT_EQ(debian.Minor, 1);
    EXPECT_EQ(debian.Build, 0);
    EXPECT_EQ(debian.ServicePack, "Debian GNU/Linux 12 (bookworm), kernel 6.1.0-13-amd64");
    const TOperatingSystem plain = DescribeOperatingSystem("Linux", "5.15.167", "");
    EXPECT_EQ(plain.Build, 167);
    EXPECT_EQ(plain.ServicePack, "kernel 5.15.167");
    EXPECT_EQ(DescribeOperatingSystem("Linux", "", "").ServicePack, "No Service Pack");
    EXPECT_EQ(DescribeOperatingSystem("Linux", "odd", "").Major, 0);

    EXPECT_EQ(LocaleIdFromName("en_US.UTF-8"), 0x0409u);
    EXPECT_EQ(LocaleIdFromName("de_DE@euro"), 0x0407u);
    EXPECT_EQ(LocaleIdFromName("en_GB.UTF-8"), 0x0809u);
    EXPECT_EQ(LocaleIdFromName("fr"), 0x040Cu);
    EXPECT_EQ(LocaleIdFromName("de_BE.UTF-8"), 0x0407u); // the language's default
    EXPECT_EQ(LocaleIdFromName("C.UTF-8"), 0x007Fu);
    EXPECT_EQ(LocaleIdFromName("POSIX"), 0x007Fu);
    EXPECT_EQ(LocaleIdFromName("xx_YY"), 0x0400u);
}

// ---- AddLine ------------------------------------------------------------------

TEST_F(Diagnostics, AddLineStampsUnmarkedLinesAndDrawsRules) {
    ScopedEnv locale("LC_ALL", "C");
    const std::string path = Temp + "/lines.txt";
    TDLogFile log(path, false, true, true, false);
    EXPECT_FALSE(Exists(path)); // diagnostics off: no header
    log.AddLine("plain %s %d%%", {"text", -7});
    log.AddLine("!marked");
    log.AddLine("-");
    log.AddLine("=%s", {"x"});
    const std::vector<std::string> lines = LogLines(path);
    ASSERT_EQ(lines.size(), 4u);
    // "%X" of the C locale, then three blanks.
    ASSERT_EQ(lines[0].size(), 8u + 3u + 14u) << lines[0];
    EXPECT_EQ(lines[0][2], ':');
    EXPECT_EQ(lines[0][5], ':');
    EXPECT_EQ(lines[0].substr(8), "   plain text -7%");
    EXPECT_EQ(lines[1], "marked");
    EXPECT_EQ(lines[2], std::string(79, '-'));
    EXPECT_EQ(lines[3], "x");

    TDLogFile unstamped(path, false, false, false, true);
    unstamped.AddLine("plain");
    EXPECT_EQ(LogLines(path).back(), "plain");
}

TEST_F(Diagnostics, AddLineRejectsAFormatItsArgumentsDoNotFit) {
    const std::string path = Temp + "/lines.txt";
    TDLogFile log(path, false, false, false, false);
    EXPECT_THROW(log.AddLine("%d", {"text"}), std::invalid_argument);
    EXPECT_THROW(log.AddLine("%s %s", {"one"}), std::invalid_argument);
    EXPECT_THROW(log.AddLine("%s", {"one", "two"}), std::invalid_argument);
    EXPECT_THROW(log.AddLine("%x", {1}), std::invalid_argument);
    EXPECT_EQ(Read(path), "");
    log.AddLine("%d%%");
    EXPECT_EQ(Read(path), "%d%%\r\n"); // no arguments: taken as it stands
}

// ---- Where the log goes ---------------------------------------------------------

TEST_F(Diagnostics, TemporaryFolderFallsBackToTmpAndLosesTrailingSlashes) {
    {
        ScopedEnv env("TMPDIR", (Temp + "//").c_str());
        EXPECT_EQ(GetTempDir(), Temp);
    }
    ScopedEnv env("TMPDIR", (Root + "/gone").c_str());
    EXPECT_EQ(GetTempDir(), "/tmp");
    const std::string name = "sentrel-diag-" + std::to_string(getpid()) + ".log";
    TDLogFile log(Root + "/gone/" + name, false, false, false, true);
    EXPECT_EQ(log.LogPath(), "/tmp/" + name);
    EXPECT_FALSE(Exists("/tmp/" + name));
}

TEST_F(Diagnostics, ALogPathInAMissingFolderGoesToTheTemporaryFolder) {
    TDLogFile log(Root + "/missing/my.log", true, false, true, false);
    EXPECT_EQ(log.LogPath(), Temp + "/my.log");
    EXPECT_EQ(LogLines(Temp + "/my.log").size(), 27u);
    TDLogFile bare("bare.log", false, false, false, false);
    EXPECT_EQ(bare.LogPath(), Temp + "/bare.log");
}

TEST_F(Diagnostics, IsDirWritableLeavesNothingBehind) {
    EXPECT_TRUE(IsDirWritable(Program + "///"));
    EXPECT_FALSE(IsDirWritable(Root + "/missing"));
    // A leftover of our own from a run that ended early is cleaned up.
    Write(Program + "/$_Temp_$.$$$", "left over");
    EXPECT_TRUE(IsDirWritable(Program));
    EXPECT_EQ(Entries(Program), std::vector<std::string>{});
}

// Runs Body while Dir cannot be written, and returns what Body returned, or
// nothing with Why set when that cannot be arranged. As root, permissions do
// not stop writes, so a forked child mounts Dir read-only in a mount
// namespace of its own.
std::optional<std::string> WithReadOnlyDir(const std::string& Dir,
                                           const std::function<std::string()>& Body,
                                           std::string& Why) {
    if (geteuid() != 0) {
        fs::permissions(Dir, fs::perms::owner_read | fs::perms::owner_exec);
        std::string result = Body();
        fs::permissions(Dir, fs::perms::owner_all);
        return result;
    }
    int fds[2];
    if (pipe(fds) != 0) {
        Why = "no pipe";
        return std::nullopt;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        std::string result;
        if (unshare(CLONE_NEWNS) != 0)
            result = std::string("!unshare(CLONE_NEWNS): ") + std::strerror(errno);
        else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                 mount(Dir.c_str(), Dir.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
                 mount(nullptr, Dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) !=
                     0)
            result = std::string("!read-only bind mount: ") + std::strerror(errno);
        else
            result = Body();
        [[maybe_unused]] const ssize_t n = write(fds[1], result.data(), result.size());
        _exit(0);
    }
    close(fds[1]);
    std::string result;
    char buffer[512];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof(buffer))) > 0)
        result.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!result.empty() && result[0] == '!') {
        Why = result.substr(1);
        return std::nullopt;
    }
    return result;
}

TEST_F(Diagnostics, AReadOnlyProgramFolderSendsTheLogToTheTemporaryFolder) {
    Write(Program + "/debug.debug", "");
    std::string why;
    const auto result = WithReadOnlyDir(
        Program,
        [this] {
            InitializeFor(ProgramFile(), {ProgramFile()});
            return LogDir + "\n" + LogFile->LogPath();
        },
        why);
    if (!result)
        GTEST_SKIP() << "cannot make a folder read-only here: " << why;
    EXPECT_EQ(*result, Temp + "\n" + TempLog());
    EXPECT_EQ(LogLines(TempLog()).size(), 27u);
    EXPECT_EQ(Entries(Program), std::vector<std::string>{"debug.debug"});
}

// ---- Other people's files and links -----------------------------------------------

TEST_F(Diagnostics, APlantedLinkIsNeverFollowed) {
    const std::string victim = Root + "/victim";
    Write(victim, "precious\n");

    // Under the log's name: the start removes the link itself, not its
    // target, and the new log is a file of its own.
    ASSERT_EQ(symlink(victim.c_str(), TempLog().c_str()), 0);
    TDLogFile log(TempLog(), true, true, true, false);
    EXPECT_EQ(Read(victim), "precious\n");
    EXPECT_EQ(LogLines(TempLog()).size(), 27u);

    // Planted while the log is open for appending: the line is dropped.
    ASSERT_EQ(unlink(TempLog().c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), TempLog().c_str()), 0);
    log.AddLine("!through the link?");
    EXPECT_EQ(Read(victim), "precious\n");

    // A second name of another file is no log of ours either.
    ASSERT_EQ(unlink(TempLog().c_str()), 0);
    ASSERT_EQ(link(victim.c_str(), TempLog().c_str()), 0);
    log.AddLine("!through the second name?");
    EXPECT_EQ(Read(victim), "precious\n");

    // Under the scratch file's name: the probe answers under a name of its
    // own and leaves the link and its target alone.
    ASSERT_EQ(unlink(TempLog().c_str()), 0);
    const std::string scratch = Temp + "/$_Temp_$.$$$";
    ASSERT_EQ(symlink(victim.c_str(), scratch.c_str()), 0);
    EXPECT_TRUE(IsDirWritable(Temp));
    EXPECT_EQ(Read(victim), "precious\n");
    EXPECT_TRUE(fs::is_symlink(scratch));
    EXPECT_EQ(Entries(Temp), std::vector<std::string>{"$_Temp_$.$$$"});
}

TEST_F(Diagnostics, AnotherUsersFilesAreNeitherTruncatedNorDeleted) {
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a file to another user needs root";
    const uid_t other = 54321;
    const std::string scratch = Temp + "/$_Temp_$.$$$";
    for (const std::string& path : {TempLog(), scratch}) {
        Write(path, "theirs\n");
        ASSERT_EQ(chown(path.c_str(), other, other), 0);
        ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    }
    TDLogFile log(TempLog(), true, true, true, false);
    log.AddLine("!mine");
    EXPECT_EQ(Read(TempLog()), "theirs\n");
    EXPECT_TRUE(IsDirWritable(Temp));
    EXPECT_EQ(Read(scratch), "theirs\n");
    EXPECT_EQ(Entries(Temp), (std::vector<std::string>{"$_Temp_$.$$$", "HHDebug.txt"}));
}

TEST_F(Diagnostics, TheLogIsReadableByItsOwnerOnly) {
    TDLogFile log(TempLog(), true, true, true, false);
    struct stat st {};
    ASSERT_EQ(stat(TempLog().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// Another user's name no longer turns logging off: the log goes to a folder of
// our own ($XDG_RUNTIME_DIR, else a new one in the temporary folder) and
// stderr says where.
TEST_F(Diagnostics, AnotherUsersLogNameSendsTheLogToAFolderOfOurOwn) {
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a file to another user needs root";
    Write(TempLog(), "theirs\n");
    ASSERT_EQ(chown(TempLog().c_str(), 54321, 54321), 0);
    for (const bool runtimeDir : {true, false}) {
        SCOPED_TRACE(runtimeDir ? "XDG_RUNTIME_DIR" : "mkdtemp");
        std::optional<ScopedEnv> unset;
        if (!runtimeDir)
            unset.emplace("XDG_RUNTIME_DIR", nullptr);
        testing::internal::CaptureStderr();
        TDLogFile log(TempLog(), true, true, true, false);
        const std::string said = testing::internal::GetCapturedStderr();
        const std::string dir = fs::path(log.LogPath()).parent_path();
        if (runtimeDir)
            EXPECT_EQ(dir, Runtime);
        else
            EXPECT_TRUE(dir.starts_with(Temp + "/sentrel-")) << dir;
        EXPECT_EQ(fs::path(log.LogPath()).filename(), "HHDebug.txt");
        EXPECT_NE(said.find(log.LogPath()), std::string::npos) << said;
        EXPECT_EQ(LogLines(log.LogPath()).size(), 27u);
        struct stat st {};
        ASSERT_EQ(stat(dir.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, geteuid());
        EXPECT_EQ(st.st_mode & 077, 0u);
    }
    EXPECT_EQ(Read(TempLog()), "theirs\n");
}

} // namespace
