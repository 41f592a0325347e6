#include "platform/Directories.h"

#include "platform/Process.h"

#include <cstdlib>
#include <mutex>

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

void SetWindowsDirectory(const std::string& Directory) {
    std::lock_guard<std::mutex> lock(gLock);
    gWindows = Directory;
}

void SetSystemDirectory(const std::string& Directory) {
    std::lock_guard<std::mutex> lock(gLock);
    gSystem = Directory;
}

} // namespace platform
