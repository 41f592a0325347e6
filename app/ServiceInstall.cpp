#include "app/ServiceInstall.h"

#include "ServiceUnit.h"
#include "framework/Utf8.h"
#include "platform/Process.h"
#include "platform/registry/FileStore.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string_view>

namespace {

constexpr std::string_view ExecPlaceholder = "@SENTREL_EXEC@";

bool IsUtf8(const std::string& Text) {
    char32_t codePoint = 0;
    for (size_t i = 0; i < Text.size();) {
        const size_t length = utf8::Decode(Text, i, codePoint);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

enum class TReload { Done, NoManager, NoSystemctl };

// `systemctl --user daemon-reload`, so that the manager sees the new unit.
// Its own words on failure go to the user's terminal as they are.
TReload ReloadManager() {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const char* const argv[] = {"systemctl", "--user", "daemon-reload", nullptr};
    pid_t pid = -1;
    const int error =
        posix_spawnp(&pid, "systemctl", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        return TReload::NoSystemctl;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // Some C libraries report a program they could not run as status 127.
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
        return TReload::NoSystemctl;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? TReload::Done : TReload::NoManager;
}

} // namespace

std::string ServiceUnitPath() {
    return platform::reg::ConfigHome() + "/systemd/user/sentrel.service";
}

std::string UnitProgramWord(const std::string& Path, std::string& Why) {
    if (Path.empty() || Path[0] != '/') {
        Why = "it is not an absolute path";
        return {};
    }
    // systemd refuses these in the program's path however they are written.
    for (const char c : Path) {
        if (utf8::IsControl(static_cast<unsigned char>(c))) {
            Why = "it holds a control character";
            return {};
        }
        if (c == '"' || c == '\'' || c == '\\') {
            Why = "it holds a quote or a backslash";
            return {};
        }
    }
    // The file is read as UTF-8; other bytes get through as escapes.
    const bool utf8 = IsUtf8(Path);
    std::string word;
    bool blank = false;
    bool dollar = false;
    for (const char c : Path) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '%') {
            word += "%%"; // '%' starts a specifier such as %h
        } else if (byte >= 0x80 && !utf8) {
            static const char* const hex = "0123456789abcdef";
            word += "\\x";
            word += hex[byte >> 4];
            word += hex[byte & 15];
        } else {
            word += c;
        }
        blank = blank || c == ' ';
        dollar = dollar || c == '$';
    }
    if (blank)
        word = '"' + word + '"';
    // The path itself is taken as written, but argv[0] would have $NAME
    // replaced; the ':' prefix turns that off.
    if (dollar)
        word = ':' + word;
    return word;
}

std::string ServiceUnitText(const std::string& Program, std::string& Why) {
    const std::string word = UnitProgramWord(Program, Why);
    if (word.empty())
        return {};
    std::string text = ServiceUnitTemplate;
    const size_t at = text.find(ExecPlaceholder);
    if (at != std::string::npos)
        text.replace(at, ExecPlaceholder.size(), word);
    return text;
}

int InstallService(bool Force, std::FILE* Out, std::FILE* Err) {
    const std::string program = platform::ExecutablePath();
    // A program file replaced while it runs reads as "... (deleted)".
    if (program.empty() || access(program.c_str(), X_OK) != 0) {
        std::fprintf(Err,
                     "sentrel: cannot find this program's own file (%s); run the installed "
                     "program with --install-service\n",
                     program.empty() ? "/proc/self/exe cannot be read" : program.c_str());
        return 1;
    }
    std::string why;
    const std::string text = ServiceUnitText(program, why);
    if (text.empty()) {
        std::fprintf(Err, "sentrel: a systemd service cannot run %s: %s; move the program\n",
                     program.c_str(), why.c_str());
        return 1;
    }
    const std::string path = ServiceUnitPath();
    const char* done = "Installed";
    try {
        std::string existing;
        if (platform::reg::ReadFileBytes(path, existing)) {
            if (existing == text)
                done = "Already installed, unchanged:";
            else if (!Force) {
                std::fprintf(Err,
                             "sentrel: %s exists and differs from the unit this program writes; "
                             "sentrel --install-service --force replaces it\n",
                             path.c_str());
                return 1;
            } else {
                done = "Replaced";
            }
        }
        if (existing != text) {
            platform::reg::MakeFolders(platform::reg::FolderOf(path));
            platform::reg::ReplaceFile(path, text);
        }
    } catch (const std::exception& e) {
        std::fprintf(Err, "sentrel: cannot write %s: %s\n", path.c_str(), e.what());
        return 1;
    }
    std::fprintf(Out, "%s %s\n(it runs %s --console).\n", done, path.c_str(), program.c_str());
    std::fflush(Out);
    std::fflush(Err);
    switch (ReloadManager()) {
    case TReload::Done:
        std::fputs("The user service manager has read it (systemctl --user daemon-reload).\n", Out);
        break;
    case TReload::NoManager:
        std::fputs("No user service manager answered; once logged in, first run\n"
                   "  systemctl --user daemon-reload\n",
                   Out);
        break;
    case TReload::NoSystemctl:
        std::fputs("systemctl was not found; where systemd runs, first run\n"
                   "  systemctl --user daemon-reload\n",
                   Out);
        break;
    }
    std::fputs("Start it now and at every login:   systemctl --user enable --now sentrel\n"
               "Stop it:                           systemctl --user stop sentrel\n"
               "See how it is doing:               systemctl --user status sentrel\n"
               "Read its output as it comes:       journalctl --user -u sentrel -f\n"
               "Keep it running while logged out:  loginctl enable-linger\n",
               Out);
    return 0;
}
