#include "platform/Directories.h"

#include "platform/Process.h"

#include <sys/stat.h>

#include <cstdlib>
#include <mutex>
#include <string_view>

namespace platform {
namespace {

std::mutex gLock;
std::string gWindows;
std::string gSystem;

std::string ProgramDirectory() {
    std::string dir = ExecutableDirectory();
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

} // namespace

std::string GetWindowsDirectory() {
    std::lock_guard<std::mutex> lock(gLock);
    return gWindows.empty() ? ProgramDirectory() : gWindows;
}

std::string GetSystemDirectory() {
    std::lock_guard<std::mutex> lock(gLock);
    return gSystem.empty() ? ProgramDirectory() : gSystem;
}

std::string GetTempDirectory() {
    const char* dir = std::getenv("TMPDIR");
    return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

std::vector<std::string> SystemConfigDirectories() {
    std::vector<std::string> folders;
    const char* list = std::getenv("XDG_CONFIG_DIRS");
    std::string_view rest = list != nullptr ? list : "";
    while (!rest.empty()) {
        const size_t colon = rest.find(':');
        std::string folder(rest.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        // A relative entry would depend on where the program was started.
        if (folder.empty() || folder.front() != '/')
            continue;
        while (folder.size() > 1 && folder.back() == '/')
            folder.pop_back();
        folders.push_back(std::move(folder));
    }
    if (folders.empty())
        folders.emplace_back("/etc/xdg");
    return folders;
}

std::string FindSystemConfigFile(const std::string& Relative) {
    for (const std::string& folder : SystemConfigDirectories()) {
        std::string path = folder;
        if (path.back() != '/')
            path += '/';
        path += Relative;
        struct stat info {};
        if (lstat(path.c_str(), &info) == 0)
            return path;
    }
    return {};
}

void SetWindowsDirectory(const std::string& Directory) {
    std::lock_guard<std::mutex> lock(gLock);
    gWindows = Directory;
}

void SetSystemDirectory(const std::string& Directory) {
    std::lock_guard<std::mutex> lock(gLock);
    gSystem = Directory;
}

} // namespace platform
