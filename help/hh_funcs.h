#pragma once
// Help-runtime detection and the diagnostic log "HHDebug.txt".
//
// Once at start-up, before any window, Initialize records where the program
// runs from, whether the help runtime (hhctrl.ocx) is installed and in which
// version, and which version of the browser engine is installed. When
// diagnostics are switched on ("debug.debug" beside the program, or an
// argument "/debug" or "-debug" in any letter case), all of it is written as
// the header of the log; otherwise the log of an earlier run is deleted and
// none is written.
//
// File versions: this system's files carry no version resource, so a file
// has a version only when it embeds one with SENTREL_FILE_VERSION (below);
// any other file, and any file that is not ELF, has version 0.0.0.0 and an
// empty text.
//
// The log and the writability probe may land in a shared temporary folder,
// so neither ever follows a symbolic link, and neither truncates, appends to
// or deletes a file that the running user does not own.

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace hh_funcs {

// The version record a file embeds: the signature and the two 32-bit halves
// of the version (major << 16 | minor, release << 16 | build).
struct TFileVersionRecord {
    uint32_t Signature;
    uint32_t FileVersionMS;
    uint32_t FileVersionLS;
};
inline constexpr uint32_t FileVersionSignature = 0xFEEF04BDu;
// The ELF section that holds the record.
inline constexpr const char* FileVersionSection = ".sentrel_version";

} // namespace hh_funcs

// Gives the executable or shared module this line is linked into a version,
// for example SENTREL_FILE_VERSION(1, 0, 0, 0); at namespace scope, once per
// module. Each part is a 16-bit number.
#define SENTREL_FILE_VERSION(Major, Minor, Release, Build)                                         \
    extern "C" __attribute__((used, retain, section(".sentrel_version"), aligned(4)))              \
    const ::hh_funcs::TFileVersionRecord sentrel_file_version = {                                  \
        ::hh_funcs::FileVersionSignature,                                                          \
        ((static_cast<uint32_t>(Major) & 0xFFFFu) << 16) |                                         \
            (static_cast<uint32_t>(Minor) & 0xFFFFu),                                              \
        ((static_cast<uint32_t>(Release) & 0xFFFFu) << 16) |                                       \
            (static_cast<uint32_t>(Build) & 0xFFFFu)}

namespace hh_funcs {

// ---- Text and path helpers ------------------------------------------------

// Removes every trailing occurrence of C. ('/' never occurs inside a UTF-8
// multi-byte character, so no character is ever cut.)
std::string StripTrailingChar(const std::string& Text, char C);
std::string RepeatChar(char C, int Count);
const char* YesNo(bool Value);
// The system directory, without trailing '/'.
std::string GetSystemDir();
// $TMPDIR, or /tmp when that is not a directory, without trailing '/'; the
// root is the empty text, since every caller appends "/name".
std::string GetTempDir();
// Whether a file can be created in Directory: creates the scratch file
// "$_Temp_$.$$$" there (never opening one that is already there), and deletes
// it again. Leaves nothing behind.
bool IsDirWritable(const std::string& Directory);

// ---- Versions -----------------------------------------------------------

struct TFileVersion {
    uint16_t Major = 0;
    uint16_t Minor = 0;
    uint16_t Release = 0;
    uint16_t Build = 0;
    std::string Text; // "5.2.3790.2453"; empty when the file has no version
};

// From the record's two halves, with its text.
TFileVersion MakeFileVersion(uint32_t FileVersionMS, uint32_t FileVersionLS);
TFileVersion MakeFileVersion(uint16_t Major, uint16_t Minor, uint16_t Release, uint16_t Build);

// All zero and empty when the path is empty, the file does not exist, is not
// a regular ELF file, or embeds no valid version record.
TFileVersion GetFileVersion(const std::string& Path);
std::string GetFileVersionText(const std::string& Path);
// 1 when A > B, 0 when equal, -1 when A < B; major, minor, release, build.
int CompareVersion(const TFileVersion& A, const TFileVersion& B);

// Release names of a help runtime and of a browser engine version; empty for
// a version without text.
std::string HelpFriendlyName(const TFileVersion& Version);
std::string BrowserFriendlyName(const TFileVersion& Version);
// Old browser engines kept the build in the last part: 4.70.0.1300 is
// 4.70.1300.0.
TFileVersion AdjustBrowserVersion(const TFileVersion& Version);

std::string GetHelpFriendlyVersion();
// The browser engine library of the system directory, adjusted. This system
// has none, so normally it is reported as not installed.
TFileVersion GetBrowserVersion();
std::string GetBrowserFriendlyVersion();

// ---- Platform facts for the header ----------------------------------------

struct TOperatingSystem {
    std::string Name;        // "Linux"
    int Major = 0;           // from the kernel release "6.1.0-13-amd64": 6
    int Minor = 0;           // 1
    int Build = 0;           // 0
    std::string ServicePack; // "Debian GNU/Linux 12 (bookworm), kernel 6.1.0-13-amd64"
};
// From uname's system name and release and the distribution's PRETTY_NAME
// (empty when unknown).
TOperatingSystem DescribeOperatingSystem(const std::string& SysName, const std::string& Release,
                                         const std::string& PrettyName);
TOperatingSystem GetOperatingSystem();

// A Windows locale identifier for a locale name such as "de_DE.UTF-8":
// 0x007F (invariant) for C and POSIX, 0x0400 (user default) for a language
// not in the table.
uint32_t LocaleIdFromName(const std::string& LocaleName);
// From $LC_ALL, else $LANG.
uint32_t GetLocaleId();
// The user's decimal separator.
std::string GetDecimalSeparator();

// ---- The diagnostic log ---------------------------------------------------

// One argument of AddLine: a text (%s) or an integer (%d).
struct TLogArg {
    TLogArg(std::string Value) : IsText(true), Text(std::move(Value)) {}
    TLogArg(const char* Value) : IsText(true), Text(Value) {}
    TLogArg(long long Value) : Number(Value) {}
    TLogArg(int Value) : Number(Value) {}
    TLogArg(unsigned Value) : Number(Value) {}

    bool IsText = false;
    std::string Text;
    long long Number = 0;
};

// Fills %s and %d of Format from Args ("%%" is a percent sign); with no
// arguments the format is returned unchanged. A placeholder without an
// argument of its kind, or an argument left over, throws
// std::invalid_argument naming the format.
std::string FormatLogText(const std::string& Format, std::initializer_list<TLogArg> Args);

class TDLogFile {
public:
    // An empty path is LogDir + "/HHDebug.txt"; a path whose folder does not
    // exist or cannot be written goes to the temporary folder. When enabled and
    // the name is another user's, the log goes to a folder of our own under the
    // same name, said on stderr. Writes the header (see WriteHeader).
    TDLogFile(const std::string& LogPath, bool Enabled, bool StampTime, bool WriteHeader,
              bool Append);
    // Leaves the file as it is.
    ~TDLogFile() = default;
    TDLogFile(const TDLogFile&) = delete;
    TDLogFile& operator=(const TDLogFile&) = delete;

    // Appends one line, CR LF ended. A line beginning with "!", "-" or "="
    // loses that character and gets no time stamp; "-" and "=" alone are
    // rules of 79 characters. A log that cannot be opened safely skips the
    // line silently.
    void AddLine(const std::string& Format, std::initializer_list<TLogArg> Args = {});
    // Deletes the earlier log (unless appending), then writes the header when
    // enabled and asked for.
    void WriteHeader();

    const std::string& LogPath() const { return FLogPath; }
    bool Enabled() const { return FEnabled; }

private:
    std::string FLogPath;
    bool FEnabled;
    bool FStampTime;
    bool FWriteHeader;
    bool FAppend;
};

// ---- Values of the start-up step ----------------------------------------------

extern std::string _ModulePath; // the program file
extern std::string _ModuleDir;  // its folder, without trailing '/'
extern std::string _ModuleName;
extern std::string _RunDir; // the program's folder (real path), without trailing '/'
extern bool _hhInstalled;
extern std::string _hhVerStr;
extern std::string _hhFriendlyVerStr;
extern bool _ieInstalled;
extern std::string _ieVerStr;
extern std::string _ieFriendlyVerStr;
extern bool DebugSwitch;
extern std::string LogDir;
extern std::unique_ptr<TDLogFile> LogFile;
// The arguments (argument zero first) and the raw command line, as the
// start-up step saw them; the header reports them.
extern std::vector<std::string> Arguments;
extern std::string CommandLine;

// Whether Arguments (from the second on) hold "/debug" or "-debug" in any
// letter case.
bool HasDebugArgument(const std::vector<std::string>& Args);

// The start-up step: run once on the main thread before any window.
void Initialize(int argc, char** argv);
// The same for a given program file and argument list (tests use it).
void InitializeFor(const std::string& ModulePath, const std::vector<std::string>& Args);
// At program end: destroys LogFile and clears the values.
void Finalize();

} // namespace hh_funcs
