#include "help/hh_funcs.h"

#include "help/hh.h"
#include "platform/Directories.h"
#include "platform/Process.h"

#include <clocale>
#include <elf.h>
#include <fcntl.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <stdexcept>

namespace hh_funcs {

std::string _ModulePath;
std::string _ModuleDir;
std::string _ModuleName;
std::string _RunDir;
bool _hhInstalled = false;
std::string _hhVerStr;
std::string _hhFriendlyVerStr;
bool _ieInstalled = false;
std::string _ieVerStr;
std::string _ieFriendlyVerStr;
bool DebugSwitch = false;
std::string LogDir;
std::unique_ptr<TDLogFile> LogFile;
std::vector<std::string> Arguments;
std::string CommandLine;

namespace {

const char* const LogFileName = "HHDebug.txt";
const char* const ScratchFileName = "$_Temp_$.$$$";

// ---- Files and folders --------------------------------------------------

// A descriptor that closes itself.
class TFd {
public:
    explicit TFd(int Fd = -1) : FFd(Fd) {}
    ~TFd() {
        if (FFd >= 0)
            close(FFd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int get() const { return FFd; }
    bool valid() const { return FFd >= 0; }

private:
    int FFd;
};

// The root is kept as the empty text, so that "dir" + "/name" is a path.
std::string AsDirectory(const std::string& Dir) {
    return Dir.empty() ? "/" : Dir;
}

std::string ExtractFileDir(const std::string& Path) {
    const auto slash = Path.rfind('/');
    return slash == std::string::npos ? std::string() : Path.substr(0, slash);
}

std::string ExtractFileName(const std::string& Path) {
    const auto slash = Path.rfind('/');
    return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

bool DirectoryExists(const std::string& Dir) {
    struct stat st {};
    return stat(AsDirectory(Dir).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& Path) {
    struct stat st {};
    return !Path.empty() && stat(Path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

int OpenDirectory(const std::string& Dir) {
    return open(AsDirectory(Dir).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Only what the running user owns, and what is not a folder, may be replaced
// or removed; in a shared folder anything else was put there by someone else.
bool OwnedByUs(const struct stat& St) {
    return St.st_uid == geteuid();
}

bool OwnSoleRegularFile(const struct stat& St) {
    return S_ISREG(St.st_mode) && OwnedByUs(St) && St.st_nlink == 1;
}

int CreateExclusive(int DirFd, const std::string& Name) {
    return openat(DirFd, Name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

// Deletes Name only while it is still the file Created describes.
void RemoveCreated(int DirFd, const std::string& Name, const struct stat& Created) {
    struct stat now {};
    if (fstatat(DirFd, Name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        now.st_dev == Created.st_dev && now.st_ino == Created.st_ino)
        unlinkat(DirFd, Name.c_str(), 0);
}

// Creates a new file under a name of its own, for when the scratch name is
// taken by someone else's file; returns the descriptor and sets Name.
int CreateUniqueScratch(int DirFd, std::string& Name) {
    static const char Letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device device;
    for (int attempt = 0; attempt < 100; ++attempt) {
        Name = "$_Temp_$.";
        for (int i = 0; i < 8; ++i)
            Name += Letters[device() % (sizeof(Letters) - 1)];
        const int fd = CreateExclusive(DirFd, Name);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// A folder only we can enter: $XDG_RUNTIME_DIR when it is one, else a new one
// made by mkdtemp in the temporary folder; empty when neither can be had.
std::string PrivateDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR"); // NOLINT(concurrency-mt-unsafe)
    struct stat st {};
    if (runtime != nullptr && runtime[0] == '/' && lstat(runtime, &st) == 0 &&
        S_ISDIR(st.st_mode) && OwnedByUs(st) && (st.st_mode & 077) == 0)
        return StripTrailingChar(runtime, '/');
    std::string made = GetTempDir() + "/sentrel-XXXXXX";
    return mkdtemp(made.data()) != nullptr ? made : std::string();
}

// The log path to use when Path is taken by another user's file, link or
// folder: the same name in a folder of our own. Their name is left alone, and
// stderr says where the log went, as nobody would find it otherwise.
std::string UnclaimedLogPath(const std::string& Path) {
    struct stat st {};
    if (lstat(Path.c_str(), &st) != 0 || OwnedByUs(st))
        return Path;
    const std::string dir = PrivateDirectory();
    if (dir.empty()) {
        std::fprintf(stderr, "Kestrava Sentrel: %s belongs to another user; no diagnostic log\n",
                     Path.c_str());
        return Path;
    }
    std::string moved = dir + "/" + ExtractFileName(Path);
    std::fprintf(stderr, "Kestrava Sentrel: %s belongs to another user; the diagnostic log is %s\n",
                 Path.c_str(), moved.c_str());
    return moved;
}

bool WriteAll(int Fd, const std::string& Text) {
    size_t done = 0;
    while (done < Text.size()) {
        const ssize_t n = write(Fd, Text.data() + done, Text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// ---- Version records in ELF files ---------------------------------------------

bool ReadAt(int Fd, uint64_t Offset, void* Buffer, size_t Size) {
    auto* out = static_cast<char*>(Buffer);
    while (Size > 0) {
        const ssize_t n = pread(Fd, out, Size, static_cast<off_t>(Offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        out += n;
        Offset += static_cast<uint64_t>(n);
        Size -= static_cast<size_t>(n);
    }
    return true;
}

bool Inside(uint64_t Offset, uint64_t Size, uint64_t FileSize) {
    return Offset <= FileSize && Size <= FileSize - Offset;
}

// Finds the version section through the section headers. Every offset and
// count comes from the file, so each is checked against its size first.
template <typename Ehdr, typename Shdr>
bool ReadVersionRecord(int Fd, uint64_t FileSize, TFileVersionRecord& Record) {
    Ehdr header{};
    if (!ReadAt(Fd, 0, &header, sizeof(header)) || header.e_shoff == 0 ||
        header.e_shentsize < sizeof(Shdr))
        return false;
    const uint64_t entrySize = header.e_shentsize;
    auto section = [&](uint64_t Index, Shdr& Out) {
        if (Index > FileSize / entrySize)
            return false;
        const uint64_t offset = header.e_shoff + Index * entrySize;
        return offset >= header.e_shoff && Inside(offset, sizeof(Shdr), FileSize) &&
               ReadAt(Fd, offset, &Out, sizeof(Shdr));
    };

    uint64_t count = header.e_shnum;
    uint64_t namesIndex = header.e_shstrndx;
    if (count == 0 || namesIndex == SHN_XINDEX) {
        Shdr first{};
        if (!section(0, first))
            return false;
        if (count == 0)
            count = first.sh_size;
        if (namesIndex == SHN_XINDEX)
            namesIndex = first.sh_link;
    }
    if (count > FileSize / entrySize || namesIndex >= count)
        return false;

    Shdr namesHeader{};
    if (!section(namesIndex, namesHeader) || namesHeader.sh_type == SHT_NOBITS ||
        !Inside(namesHeader.sh_offset, namesHeader.sh_size, FileSize) ||
        namesHeader.sh_size > (64u << 20))
        return false;
    std::string names(static_cast<size_t>(namesHeader.sh_size), '\0');
    if (!ReadAt(Fd, namesHeader.sh_offset, names.data(), names.size()))
        return false;

    const std::string wanted = FileVersionSection;
    for (uint64_t i = 0; i < count; ++i) {
        Shdr sh{};
        if (!section(i, sh))
            return false;
        if (sh.sh_name >= names.size())
            continue;
        const char* name = names.data() + sh.sh_name;
        const size_t length = strnlen(name, names.size() - sh.sh_name);
        if (std::string(name, length) != wanted || sh.sh_type != SHT_PROGBITS ||
            sh.sh_size < sizeof(TFileVersionRecord) ||
            !Inside(sh.sh_offset, sizeof(TFileVersionRecord), FileSize))
            continue;
        if (ReadAt(Fd, sh.sh_offset, &Record, sizeof(Record)) &&
            Record.Signature == FileVersionSignature)
            return true;
    }
    return false;
}

// ---- Friendly names -------------------------------------------------------

enum TRowTest { GreaterThan, EqualTo, AtLeast };

struct TNameRow {
    TRowTest Test;
    uint16_t Version[4];
    const char* Name;
};

const TNameRow HelpNames[] = {
    {GreaterThan, {5, 2, 3669, 0}, "> 1.4a"}, // 1
    {EqualTo, {5, 2, 3669, 0}, "1.4a"},       // 2
    {AtLeast, {5, 2, 3626, 0}, "1.4"},        // 3
    {AtLeast, {4, 74, 9273, 0}, "1.33"},      // 4
    {AtLeast, {4, 74, 8857, 0}, "1.32"},      // 5
    {AtLeast, {4, 74, 8793, 0}, "1.31"},      // 6
    {AtLeast, {4, 74, 8702, 0}, "1.3"},       // 7
    {AtLeast, {4, 73, 8561, 0}, "1.22"},      // 8
    {AtLeast, {4, 73, 8474, 0}, "1.21a"},     // 9
    {AtLeast, {4, 73, 8412, 0}, "1.21"},      // 10
    {AtLeast, {4, 73, 8252, 0}, "1.2"},       // 11
    {AtLeast, {4, 72, 8164, 0}, "1.1b"},      // 12
    {AtLeast, {4, 72, 7325, 0}, "1.1a"},      // 13
    {AtLeast, {4, 72, 7323, 0}, "1.1"},       // 14
    {AtLeast, {4, 72, 7290, 0}, "1.0"},       // 15
};

const TNameRow BrowserNames[] = {
    {GreaterThan, {8, 0, 0, 0}, "> Internet Explorer 8"}, // 1
    {GreaterThan, {7, 0, 0, 0}, "> Internet Explorer 7"}, // 2
    {AtLeast, {6, 0, 3790, 0}, "Internet Explorer 6 (Windows Server 2003)"},
    {AtLeast, {6, 0, 3718, 0}, "Internet Explorer 6 (Windows Server 2003 RC2)"},
    {AtLeast, {6, 0, 3663, 0}, "Internet Explorer 6 (Windows Server 2003 RC1)"},
    {AtLeast, {6, 0, 2900, 2180}, "Internet Explorer 6 (Windows XP SP2)"},
    {AtLeast, {6, 0, 2800, 1106}, "Internet Explorer 6 SP1"},
    {AtLeast, {6, 0, 2712, 300}, "Internet Explorer 6 (Windows XP + minor update)"},
    {AtLeast, {6, 0, 2600, 0}, "Internet Explorer 6 (Windows XP)"},
    {AtLeast, {6, 0, 2479, 6}, "Internet Explorer 6 Public Preview (Beta) Refresh"}, // 10
    {AtLeast, {6, 0, 2462, 0}, "Internet Explorer 6 Public Preview (Beta)"},
    {AtLeast, {5, 50, 4807, 2300}, "Internet Explorer 5.5 Service Pack 2"},
    {AtLeast, {5, 50, 4522, 1800}, "Internet Explorer 5.5 Service Pack 1"},
    {AtLeast, {5, 50, 4308, 2900}, "Internet Explorer 5.5 Advanced Security Privacy Beta"},
    {AtLeast, {5, 50, 4134, 600}, "Internet Explorer 5.5"},
    {AtLeast, {5, 50, 4134, 100}, "Internet Explorer 5.5 for Windows Me (4.90.3000)"},
    {AtLeast, {5, 50, 4030, 2400}, "Internet Explorer 5.5 & Internet Tools Beta"},
    {AtLeast, {5, 50, 3825, 1300}, "Internet Explorer 5.5 Developer Preview"},
    {AtLeast, {5, 0, 2919, 6307}, "Internet Explorer 5.01"},
    {AtLeast,
     {5, 0, 2919, 3800},
     "Internet Explorer 5.01 (Windows 2000 RC2, build 5.00.2128)"}, // 20
    {AtLeast, {5, 0, 2919, 800}, "Internet Explorer 5.01 (Windows 2000 RC1, build 5.00.2072)"},
    {AtLeast, {5, 0, 2721, 1400}, "Internet Explorer 5.0 updated"},
    {AtLeast, {5, 0, 2614, 0}, "Internet Explorer 5.0b"},
    {AtLeast, {5, 0, 2314, 0}, "Internet Explorer 5.0a"},
    {AtLeast, {5, 0, 2014, 0}, "Internet Explorer 5.0"},
    {AtLeast, {5, 0, 910, 0}, "Internet Explorer 5 Beta (Beta 2)"},
    {AtLeast, {5, 0, 518, 0}, "Internet Explorer 5 Developer Preview (Beta 1)"},
    {AtLeast, {4, 72, 3612, 0}, "Internet Explorer 4.01 Service Pack 2 (SP2)"},
    {AtLeast, {4, 72, 3110, 0}, "Internet Explorer 4.01 Service Pack 1 (SP1)"},
    {AtLeast, {4, 72, 2106, 0}, "Internet Explorer 4.01"}, // 30
    {AtLeast, {4, 71, 1712, 0}, "Internet Explorer 4.0"},
    {AtLeast, {4, 71, 1008, 0}, "Internet Explorer 4.0 Platform Preview 2.0 (PP2)"},
    {AtLeast, {4, 71, 544, 0}, "Internet Explorer 4.0 Platform Preview 1.0 (PP1)"},
    {AtLeast, {4, 70, 1300, 0}, "Internet Explorer 3.02"},
    {AtLeast, {4, 70, 1215, 0}, "Internet Explorer 3.01"},
    {AtLeast, {4, 70, 1158, 0}, "Internet Explorer 3.0 (OSR2)"},
    {AtLeast, {4, 70, 1155, 0}, "Internet Explorer 3.0"},
    {AtLeast, {4, 40, 520, 0}, "Internet Explorer 2.0"},
    {AtLeast, {4, 40, 308, 0}, "Internet Explorer 1.0 (Plus!)"}, // 39
};

template <size_t N>
std::string FriendlyName(const TFileVersion& Version, const TNameRow (&Rows)[N],
                         const char* Below) {
    if (Version.Text.empty())
        return {};
    for (const TNameRow& row : Rows) {
        const int order = CompareVersion(Version, MakeFileVersion(row.Version[0], row.Version[1],
                                                                  row.Version[2], row.Version[3]));
        if ((row.Test == GreaterThan && order > 0) || (row.Test == EqualTo && order == 0) ||
            (row.Test == AtLeast && order >= 0))
            return row.Name;
    }
    return Below;
}

// ---- Locale and system ----------------------------------------------------

struct TLocaleRow {
    const char* Name;
    uint32_t Id;
};

// Languages with their default sub-language (1), then the territories whose
// identifier differs from that default.
const TLocaleRow Languages[] = {
    {"ar", 0x0401}, {"bg", 0x0402}, {"ca", 0x0403}, {"zh", 0x0804}, {"cs", 0x0405}, {"da", 0x0406},
    {"de", 0x0407}, {"el", 0x0408}, {"en", 0x0409}, {"es", 0x0C0A}, {"fi", 0x040B}, {"fr", 0x040C},
    {"he", 0x040D}, {"hu", 0x040E}, {"is", 0x040F}, {"it", 0x0410}, {"ja", 0x0411}, {"ko", 0x0412},
    {"nl", 0x0413}, {"nb", 0x0414}, {"no", 0x0414}, {"nn", 0x0814}, {"pl", 0x0415}, {"pt", 0x0416},
    {"ro", 0x0418}, {"ru", 0x0419}, {"hr", 0x041A}, {"sk", 0x041B}, {"sv", 0x041D}, {"th", 0x041E},
    {"tr", 0x041F}, {"uk", 0x0422}, {"sl", 0x0424}, {"et", 0x0425}, {"lv", 0x0426}, {"lt", 0x0427},
    {"vi", 0x042A}, {"hi", 0x0439}, {"ga", 0x083C},
};

const TLocaleRow Territories[] = {
    {"ar_EG", 0x0C01}, {"zh_TW", 0x0404}, {"zh_HK", 0x0C04}, {"zh_SG", 0x1004}, {"de_CH", 0x0807},
    {"de_AT", 0x0C07}, {"de_LU", 0x1007}, {"de_LI", 0x1407}, {"en_GB", 0x0809}, {"en_AU", 0x0C09},
    {"en_CA", 0x1009}, {"en_NZ", 0x1409}, {"en_IE", 0x1809}, {"en_ZA", 0x1C09}, {"en_IN", 0x4009},
    {"en_SG", 0x4809}, {"es_MX", 0x080A}, {"es_AR", 0x2C0A}, {"es_CL", 0x340A}, {"es_CO", 0x240A},
    {"es_US", 0x540A}, {"fr_BE", 0x080C}, {"fr_CA", 0x0C0C}, {"fr_CH", 0x100C}, {"fr_LU", 0x140C},
    {"it_CH", 0x0810}, {"nl_BE", 0x0813}, {"pt_PT", 0x0816}, {"sv_FI", 0x081D},
};

std::string StripLocaleName(const std::string& Name) {
    return Name.substr(0, Name.find_first_of(".@"));
}

// A locale object for the user's settings, whether or not the program has
// called setlocale yet; "C" when the user's locale is not installed.
class TUserLocale {
public:
    TUserLocale() {
        FLocale = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(nullptr));
        if (FLocale == static_cast<locale_t>(nullptr))
            FLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    }
    ~TUserLocale() {
        if (FLocale != static_cast<locale_t>(nullptr))
            freelocale(FLocale);
    }
    TUserLocale(const TUserLocale&) = delete;
    TUserLocale& operator=(const TUserLocale&) = delete;
    locale_t get() const { return FLocale; }

private:
    locale_t FLocale;
};

// Now, in the user's locale: "%X" is the long time format, "%x" the short
// date format.
std::string FormatNow(const char* Format) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    TUserLocale locale;
    char buffer[256];
    const size_t n = locale.get() != static_cast<locale_t>(nullptr)
                         ? strftime_l(buffer, sizeof(buffer), Format, &local, locale.get())
                         : std::strftime(buffer, sizeof(buffer), Format, &local);
    return {buffer, n};
}

// Leading decimal digits of Text from Pos on, moving Pos past them; 0 when
// there are none.
int ReadNumber(const std::string& Text, size_t& Pos) {
    int value = 0;
    const auto [end, error] = std::from_chars(Text.data() + Pos, Text.data() + Text.size(), value);
    if (error != std::errc())
        return 0;
    Pos = static_cast<size_t>(end - Text.data());
    return value;
}

// PRETTY_NAME of an os-release file, its quotes and escapes removed.
std::string ReadPrettyName(const char* Path) {
    std::ifstream in(Path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PRETTY_NAME=", 0) != 0)
            continue;
        std::string value = line.substr(12);
        std::string text;
        char quote = '\0';
        if (!value.empty() && (value.front() == '"' || value.front() == '\''))
            quote = value.front();
        for (size_t i = quote != '\0' ? 1 : 0; i < value.size(); ++i) {
            if (value[i] == quote)
                break;
            if (value[i] == '\\' && quote == '"' && i + 1 < value.size())
                ++i;
            text += value[i];
        }
        return text;
    }
    return {};
}

// Arguments joined by blanks; one that holds a blank, a quote or nothing is
// quoted the way a shell takes it back.
std::string JoinCommandLine(const std::vector<std::string>& Args) {
    std::string line;
    for (const std::string& arg : Args) {
        if (!line.empty())
            line += ' ';
        if (!arg.empty() && arg.find_first_of(" \t\n'\"\\$`") == std::string::npos) {
            line += arg;
            continue;
        }
        line += '\'';
        for (char c : arg)
            line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        line += '\'';
    }
    return line;
}

// The first Count characters of a UTF-8 text.
std::string FirstCharacters(const std::string& Text, size_t Count) {
    size_t i = 0;
    for (size_t n = 0; i < Text.size(); ++n) {
        if (n == Count)
            return Text.substr(0, i);
        ++i;
        while (i < Text.size() && (static_cast<unsigned char>(Text[i]) & 0xC0) == 0x80)
            ++i;
    }
    return Text;
}

std::string LocaleHex(uint32_t Value) {
    char buffer[16];
    std::snprintf(buffer, sizeof(buffer), "0x%04X", Value);
    return buffer;
}

bool EqualsNoCase(const std::string& A, const char* B) {
    const size_t n = std::strlen(B);
    if (A.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char a = A[i];
        char b = B[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = static_cast<char>(b - 'A' + 'a');
        if (a != b)
            return false;
    }
    return true;
}

void Startup(const std::string& ModulePath, const std::vector<std::string>& Args) {
    Arguments = Args;
    CommandLine = JoinCommandLine(Args);

    _ModulePath = ModulePath;
    _ModuleDir = StripTrailingChar(ExtractFileDir(_ModulePath), '/');
    _ModuleName = ExtractFileName(_ModulePath);
    // The program's real path, not argument zero: started through PATH, argument
    // zero has no folder and names no file here.
    _RunDir = _ModuleDir;

    LogDir = IsDirWritable(_ModuleDir) ? _ModuleDir : GetTempDir();
    DebugSwitch = FileExists(_ModuleDir + "/debug.debug") || HasDebugArgument(Args);

    _hhVerStr = GetFileVersion(hh::FindHtmlHelpLibrary()).Text;
    _hhInstalled = !_hhVerStr.empty();
    _hhFriendlyVerStr = GetHelpFriendlyVersion();

    _ieVerStr = GetBrowserVersion().Text;
    _ieInstalled = !_ieVerStr.empty();
    _ieFriendlyVerStr = GetBrowserFriendlyVersion();

    LogFile.reset();
    LogFile =
        std::make_unique<TDLogFile>(LogDir + "/" + LogFileName, DebugSwitch, true, true, false);
}

} // namespace

// ---- Text and path helpers --------------------------------------------------

std::string StripTrailingChar(const std::string& Text, char C) {
    const auto last = Text.find_last_not_of(C);
    return last == std::string::npos ? std::string() : Text.substr(0, last + 1);
}

std::string RepeatChar(char C, int Count) {
    return Count > 0 ? std::string(static_cast<size_t>(Count), C) : std::string();
}

const char* YesNo(bool Value) {
    return Value ? "YES" : "NO";
}

std::string GetSystemDir() {
    return StripTrailingChar(platform::GetSystemDirectory(), '/');
}

std::string GetTempDir() {
    std::string dir = platform::GetTempDirectory();
    if (!DirectoryExists(StripTrailingChar(dir, '/')))
        dir = DirectoryExists("/tmp") ? "/tmp" : "/";
    return StripTrailingChar(dir, '/');
}

bool IsDirWritable(const std::string& Directory) {
    const TFd dir(OpenDirectory(StripTrailingChar(Directory, '/')));
    if (!dir.valid())
        return false;
    std::string name = ScratchFileName;
    int fd = CreateExclusive(dir.get(), name);
    if (fd < 0 && errno == EEXIST) {
        // Our own leftover of a run that ended early goes; anything else that
        // holds the name stays as it is, and a name of our own answers.
        struct stat st {};
        if (fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            OwnSoleRegularFile(st) && unlinkat(dir.get(), name.c_str(), 0) == 0)
            fd = CreateExclusive(dir.get(), name);
        if (fd < 0 && errno == EEXIST)
            fd = CreateUniqueScratch(dir.get(), name);
    }
    if (fd < 0)
        return false;
    struct stat created {};
    const bool known = fstat(fd, &created) == 0;
    close(fd);
    if (known)
        RemoveCreated(dir.get(), name, created);
    return true;
}

// ---- Versions -----------------------------------------------------------

TFileVersion MakeFileVersion(uint16_t Major, uint16_t Minor, uint16_t Release, uint16_t Build) {
    TFileVersion version;
    version.Major = Major;
    version.Minor = Minor;
    version.Release = Release;
    version.Build = Build;
    version.Text = std::to_string(Major) + "." + std::to_string(Minor) + "." +
                   std::to_string(Release) + "." + std::to_string(Build);
    return version;
}

TFileVersion MakeFileVersion(uint32_t FileVersionMS, uint32_t FileVersionLS) {
    return MakeFileVersion(
        static_cast<uint16_t>(FileVersionMS >> 16), static_cast<uint16_t>(FileVersionMS & 0xFFFFu),
        static_cast<uint16_t>(FileVersionLS >> 16), static_cast<uint16_t>(FileVersionLS & 0xFFFFu));
}

TFileVersion GetFileVersion(const std::string& Path) {
    if (Path.empty())
        return {};
    // Not blocking on a pipe that happens to carry the name.
    const TFd fd(open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    const auto size = static_cast<uint64_t>(st.st_size);
    unsigned char ident[EI_NIDENT] = {};
    if (!ReadAt(fd.get(), 0, ident, sizeof(ident)) || std::memcmp(ident, ELFMAG, SELFMAG) != 0)
        return {};
    const unsigned char hostData =
        std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
    if (ident[EI_DATA] != hostData)
        return {};
    TFileVersionRecord record{};
    bool found = false;
    if (ident[EI_CLASS] == ELFCLASS64 && size >= sizeof(Elf64_Ehdr))
        found = ReadVersionRecord<Elf64_Ehdr, Elf64_Shdr>(fd.get(), size, record);
    else if (ident[EI_CLASS] == ELFCLASS32 && size >= sizeof(Elf32_Ehdr))
        found = ReadVersionRecord<Elf32_Ehdr, Elf32_Shdr>(fd.get(), size, record);
    if (!found)
        return {};
    return MakeFileVersion(record.FileVersionMS, record.FileVersionLS);
}

std::string GetFileVersionText(const std::string& Path) {
    return GetFileVersion(Path).Text;
}

int CompareVersion(const TFileVersion& A, const TFileVersion& B) {
    const uint16_t a[] = {A.Major, A.Minor, A.Release, A.Build};
    const uint16_t b[] = {B.Major, B.Minor, B.Release, B.Build};
    for (int i = 0; i < 4; ++i) {
        if (a[i] != b[i])
            return a[i] > b[i] ? 1 : -1;
    }
    return 0;
}

std::string HelpFriendlyName(const TFileVersion& Version) {
    return FriendlyName(Version, HelpNames, "< 1.0");
}

std::string BrowserFriendlyName(const TFileVersion& Version) {
    return FriendlyName(Version, BrowserNames, "< Internet Explorer 1.0 (Plus!)");
}

TFileVersion AdjustBrowserVersion(const TFileVersion& Version) {
    if (Version.Text.empty() || Version.Major != 4 || Version.Minor > 70 || Version.Release != 0)
        return Version;
    return MakeFileVersion(Version.Major, Version.Minor, Version.Build, 0);
}

std::string GetHelpFriendlyVersion() {
    return HelpFriendlyName(GetFileVersion(hh::FindHtmlHelpLibrary()));
}

TFileVersion GetBrowserVersion() {
    return AdjustBrowserVersion(GetFileVersion(GetSystemDir() + "/Shdocvw.dll"));
}

std::string GetBrowserFriendlyVersion() {
    return BrowserFriendlyName(GetBrowserVersion());
}

// ---- Platform facts ---------------------------------------------------------

TOperatingSystem DescribeOperatingSystem(const std::string& SysName, const std::string& Release,
                                         const std::string& PrettyName) {
    TOperatingSystem os;
    os.Name = SysName;
    size_t pos = 0;
    os.Major = ReadNumber(Release, pos);
    if (pos < Release.size() && Release[pos] == '.') {
        ++pos;
        os.Minor = ReadNumber(Release, pos);
        if (pos < Release.size() && Release[pos] == '.') {
            ++pos;
            os.Build = ReadNumber(Release, pos);
        }
    }
    if (!PrettyName.empty() && !Release.empty())
        os.ServicePack = PrettyName + ", kernel " + Release;
    else if (!PrettyName.empty())
        os.ServicePack = PrettyName;
    else if (!Release.empty())
        os.ServicePack = "kernel " + Release;
    else
        os.ServicePack = "No Service Pack";
    return os;
}

TOperatingSystem GetOperatingSystem() {
    struct utsname names {};
    if (uname(&names) != 0)
        return DescribeOperatingSystem("Linux", "", "");
    std::string pretty = ReadPrettyName("/etc/os-release");
    if (pretty.empty())
        pretty = ReadPrettyName("/usr/lib/os-release");
    return DescribeOperatingSystem(names.sysname, names.release, pretty);
}

uint32_t LocaleIdFromName(const std::string& LocaleName) {
    const std::string name = StripLocaleName(LocaleName);
    if (name.empty() || name == "C" || name == "POSIX")
        return 0x007F;
    for (const TLocaleRow& row : Territories)
        if (name == row.Name)
            return row.Id;
    const std::string language = name.substr(0, name.find('_'));
    for (const TLocaleRow& row : Languages)
        if (language == row.Name)
            return row.Id;
    return 0x0400;
}

uint32_t GetLocaleId() {
    for (const char* variable : {"LC_ALL", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0')
            return LocaleIdFromName(value);
    }
    return LocaleIdFromName("");
}

std::string GetDecimalSeparator() {
    TUserLocale locale;
    if (locale.get() == static_cast<locale_t>(nullptr))
        return ".";
    const char* radix = nl_langinfo_l(RADIXCHAR, locale.get());
    return radix != nullptr && *radix != '\0' ? radix : ".";
}

// ---- The diagnostic log -----------------------------------------------------

std::string FormatLogText(const std::string& Format, std::initializer_list<TLogArg> Args) {
    if (Args.size() == 0)
        return Format;
    auto bad = [&Format] {
        return std::invalid_argument("Format '" + Format +
                                     "' invalid or incompatible with argument");
    };
    std::string text;
    const auto* next = Args.begin();
    for (size_t i = 0; i < Format.size(); ++i) {
        if (Format[i] != '%') {
            text += Format[i];
            continue;
        }
        if (++i == Format.size())
            throw bad();
        const char kind = Format[i];
        if (kind == '%') {
            text += '%';
            continue;
        }
        if ((kind != 's' && kind != 'd') || next == Args.end() || next->IsText != (kind == 's'))
            throw bad();
        text += next->IsText ? next->Text : std::to_string(next->Number);
        ++next;
    }
    if (next != Args.end())
        throw bad();
    return text;
}

TDLogFile::TDLogFile(const std::string& LogPath, bool Enabled, bool StampTime, bool WriteHeader,
                     bool Append)
    : FLogPath(LogPath.empty() ? LogDir + "/" + LogFileName : LogPath), FEnabled(Enabled),
      FStampTime(StampTime), FWriteHeader(WriteHeader), FAppend(Append) {
    // A bare file name has no folder to check, so it goes to the temporary
    // folder too.
    const std::string dir = StripTrailingChar(ExtractFileDir(FLogPath), '/');
    if (FLogPath.find('/') == std::string::npos || !DirectoryExists(dir) || !IsDirWritable(dir))
        FLogPath = GetTempDir() + "/" + ExtractFileName(FLogPath);
    if (FEnabled)
        FLogPath = UnclaimedLogPath(FLogPath);

    // A read-only log of our own is made writable again, so that appending
    // works; a link is not followed and another user's file is left alone.
    const TFd fd(open(FLogPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd.valid() && fstat(fd.get(), &st) == 0 && OwnSoleRegularFile(st) &&
        (st.st_mode & S_IWUSR) == 0)
        fchmod(fd.get(), (st.st_mode & 07777) | S_IWUSR);

    this->WriteHeader();
}

void TDLogFile::AddLine(const std::string& Format, std::initializer_list<TLogArg> Args) {
    // Appends to our own file or creates one; never through a link, never
    // into someone else's file, never blocking on a pipe. Only we may read it:
    // it holds the command line and paths.
    const TFd fd(open(FLogPath.c_str(),
                      O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    const std::string prefix = FStampTime ? FormatNow("%X") + "   " : std::string();
    struct stat st {};
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !OwnSoleRegularFile(st))
        return;

    std::string text = FormatLogText(Format, Args);
    if (text == "-" || text == "=")
        text = RepeatChar(text[0], 80);
    if (!text.empty() && (text[0] == '!' || text[0] == '-' || text[0] == '='))
        text.erase(0, 1);
    else
        text = prefix + text;
    WriteAll(fd.get(), text + "\r\n");
}

void TDLogFile::WriteHeader() {
    // Every start removes the previous log, whether or not diagnostics are
    // on; but only a log of our own.
    if (!FAppend) {
        const TFd dir(OpenDirectory(StripTrailingChar(ExtractFileDir(FLogPath), '/')));
        const std::string name = ExtractFileName(FLogPath);
        struct stat st {};
        if (dir.valid() && fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            OwnedByUs(st) && !S_ISDIR(st.st_mode))
            unlinkat(dir.get(), name.c_str(), 0);
    }
    if (!FEnabled || !FWriteHeader)
        return;

    const TOperatingSystem os = GetOperatingSystem();
    const uint32_t lcid = GetLocaleId();
    const uint32_t primary = lcid & 0x3FFu;
    const uint32_t sub = (lcid & 0xFFFFu) >> 10;
    const std::string& exePath = _ModulePath;
    std::string params;
    for (size_t i = 1; i < Arguments.size(); ++i)
        params += (i > 1 ? " | " : "") + Arguments[i];

    AddLine("=");
    AddLine("!Log File:             %s", {"\t" + FLogPath});
    AddLine("!Date:                 %s", {"\t" + FormatNow("%x %X")});
    AddLine("!Operating System:      %s %d.%d (Build %d) %s",
            {"\t" + os.Name, os.Major, os.Minor, os.Build, os.ServicePack});
    AddLine("!SysLocale.DefaultLCID: %s (%s)", {"\t" + LocaleHex(lcid), std::to_string(lcid)});
    AddLine("!SysLocale.PriLangID:   %s (%s)",
            {"\t" + LocaleHex(primary), std::to_string(primary)});
    AddLine("!SysLocale.SubLangID:   %s (%s)", {"\t" + LocaleHex(sub), std::to_string(sub)});
    AddLine("!DecimalSeparator:      %s", {"\t" + GetDecimalSeparator()});
    AddLine("-");
    AddLine("!EXE Path =          %s", {"\t" + exePath});
    AddLine("!EXE Version =       %s", {"\t" + GetFileVersionText(exePath)});
    AddLine("!Cmdline Param(s) =  %s", {"\t" + params});
    AddLine("!Actual CmdLine =  %s", {"\t" + FirstCharacters(CommandLine, 255)});
    AddLine("!_RunDir =           %s", {"\t" + _RunDir});
    AddLine("!_ModuleName =       %s", {"\t" + _ModuleName});
    AddLine("!_ModuleDir =        %s", {"\t" + _ModuleDir});
    AddLine("!_ModulePath =        %s", {"\t" + _ModulePath});
    AddLine("!Module Version =       %s", {"\t" + GetFileVersionText(_ModulePath)});
    AddLine("-");
    AddLine("!_hhInstalled =      %s", {std::string("\t") + YesNo(_hhInstalled)});
    AddLine("!_hhVerStr =         %s", {"\t" + _hhVerStr});
    AddLine("!_hhFriendlyVerStr = %s", {"\t" + _hhFriendlyVerStr});
    AddLine("-");
    AddLine("!_ieInstalled =      %s", {std::string("\t") + YesNo(_ieInstalled)});
    AddLine("!_ieVerStr =         %s", {"\t" + _ieVerStr});
    AddLine("!_ieFriendlyVerStr = %s", {"\t" + _ieFriendlyVerStr});
    AddLine("=");
}

// ---- The start-up step --------------------------------------------------------

bool HasDebugArgument(const std::vector<std::string>& Args) {
    for (size_t i = 1; i < Args.size(); ++i)
        if (EqualsNoCase(Args[i], "/debug") || EqualsNoCase(Args[i], "-debug"))
            return true;
    return false;
}

void Initialize(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc && argv[i] != nullptr; ++i)
        args.emplace_back(argv[i]);
    std::string module = platform::ExecutablePath();
    if (module.empty() && !args.empty())
        module = args[0];
    Startup(module, args);
}

void InitializeFor(const std::string& ModulePath, const std::vector<std::string>& Args) {
    Startup(ModulePath, Args);
}

void Finalize() {
    LogFile.reset();
    _ModulePath.clear();
    _ModuleDir.clear();
    _ModuleName.clear();
    _RunDir.clear();
    _hhVerStr.clear();
    _hhFriendlyVerStr.clear();
    _ieVerStr.clear();
    _ieFriendlyVerStr.clear();
    LogDir.clear();
    Arguments.clear();
    CommandLine.clear();
}

} // namespace hh_funcs
