#include "platform/registry/Autostart.h"

#include "platform/registry/FileStore.h"
#include "platform/registry/RegTree.h"

#include <dirent.h>
#include <sys/stat.h>

#include <system_error>

namespace platform::reg {

namespace {

constexpr std::string_view Suffix = ".desktop";

// Characters that make an Exec argument need quotes.
constexpr std::string_view Reserved = " \t\n\"'\\><~|&;$*?#()`";

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view Text) {
    while (!Text.empty() && IsBlank(Text.front()))
        Text.remove_prefix(1);
    while (!Text.empty() && (IsBlank(Text.back()) || Text.back() == '\r'))
        Text.remove_suffix(1);
    return Text;
}

bool IsRegularFile(const std::string& Path) {
    struct stat info {};
    return stat(Path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Undoes the escapes every string value may hold: \s \n \t \r \\.
std::string UnescapeString(std::string_view Text) {
    std::string out;
    for (size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] != '\\' || i + 1 == Text.size()) {
            out += Text[i];
            continue;
        }
        switch (Text[i + 1]) {
        case 's':
            out += ' ';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case '\\':
            out += '\\';
            break;
        default:
            out += '\\';
            continue;
        }
        ++i;
    }
    return out;
}

} // namespace

std::string AutostartFolder() {
    return ConfigHome() + "/autostart";
}

bool IsAutostartName(std::string_view Name) {
    return !Name.empty() && Name.find('/') == std::string_view::npos &&
           Name.find('\0') == std::string_view::npos;
}

std::string FindAutostartEntry(const std::string& Folder, const std::string& Name) {
    if (!IsAutostartName(Name))
        return {};
    std::string exact = Folder + "/" + Name + std::string(Suffix);
    if (IsRegularFile(exact))
        return exact;
    const std::string wanted = Fold(Name + std::string(Suffix));
    std::string found;
    if (DIR* dir = opendir(Folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (Fold(entry->d_name) == wanted && IsRegularFile(Folder + "/" + entry->d_name)) {
                found = Folder + "/" + entry->d_name;
                break;
            }
        }
        closedir(dir);
    }
    return found;
}

std::optional<std::string> ReadAutostartEntry(const std::string& File) {
    std::string text;
    try {
        if (!ReadFileBytes(File, text))
            return std::nullopt;
    } catch (const std::system_error&) {
        return std::nullopt; // an entry we cannot read starts nothing we know of
    }
    std::optional<std::string> program;
    bool inMainGroup = false;
    for (size_t from = 0; from < text.size();) {
        size_t end = text.find('\n', from);
        if (end == std::string::npos)
            end = text.size();
        const std::string_view line = Trim(std::string_view(text).substr(from, end - from));
        from = end + 1;
        if (line.empty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        const size_t equals = line.find('=');
        if (!inMainGroup || equals == std::string_view::npos)
            continue;
        const std::string_view key = Trim(line.substr(0, equals));
        const std::string_view value = Trim(line.substr(equals + 1));
        if (key == "Hidden" && value == "true")
            return std::nullopt;
        if (key == "X-GNOME-Autostart-enabled" && value == "false")
            return std::nullopt;
        if (key == "Exec")
            program = ExecProgram(value);
    }
    return program;
}

std::vector<std::string> AutostartNames(const std::string& Folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(Folder.c_str());
    if (!dir)
        return names;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view file = entry->d_name;
        if (file.size() <= Suffix.size() || !file.ends_with(Suffix))
            continue;
        const std::string path = Folder + "/" + entry->d_name;
        if (IsRegularFile(path) && ReadAutostartEntry(path))
            names.emplace_back(file.substr(0, file.size() - Suffix.size()));
    }
    closedir(dir);
    return names;
}

std::string AutostartEntryText(const std::string& Program) {
    return "# Kestrava Sentrel writes this entry when it is set to start with the session,\n"
           "# and removes it when that is turned off.\n"
           "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Kestrava Sentrel\n"
           "Exec=" +
           ExecValue(Program) +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n"
           "X-GNOME-Autostart-Delay=5\n";
}

std::string ExecValue(std::string_view Program) {
    // A literal '%' would be read as a field code.
    std::string argument;
    for (char c : Program) {
        argument += c;
        if (c == '%')
            argument += '%';
    }
    if (argument.empty() || argument.find_first_of(Reserved) != std::string::npos) {
        std::string quoted = "\"";
        for (char c : argument) {
            if (c == '"' || c == '`' || c == '$' || c == '\\')
                quoted += '\\';
            quoted += c;
        }
        argument = quoted + "\"";
    }
    // The general string escapes come on top of the quoting; so a backslash
    // inside quotes is written as four.
    std::string value;
    for (char c : argument) {
        switch (c) {
        case '\\':
            value += "\\\\";
            break;
        case '\n':
            value += "\\n";
            break;
        case '\t':
            value += "\\t";
            break;
        case '\r':
            value += "\\r";
            break;
        default:
            value += c;
        }
    }
    return value;
}

std::string ExecProgram(std::string_view Exec) {
    const std::string text = UnescapeString(Exec);
    size_t i = 0;
    while (i < text.size() && (IsBlank(text[i]) || text[i] == '\n'))
        ++i;
    std::string argument;
    if (i < text.size() && text[i] == '"') {
        for (++i; i < text.size() && text[i] != '"'; ++i) {
            if (text[i] == '\\' && i + 1 < text.size() &&
                std::string_view("\"`$\\").find(text[i + 1]) != std::string_view::npos)
                ++i;
            argument += text[i];
        }
    } else {
        for (; i < text.size() && !IsBlank(text[i]) && text[i] != '\n'; ++i)
            argument += text[i];
    }
    std::string program;
    for (size_t j = 0; j < argument.size(); ++j) {
        program += argument[j];
        if (argument[j] == '%' && j + 1 < argument.size() && argument[j + 1] == '%')
            ++j;
    }
    return program;
}

} // namespace platform::reg
