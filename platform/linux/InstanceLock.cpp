#include "platform/InstanceLock.h"

#include "platform/Directories.h"
#include "platform/registry/FileStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <system_error>
#include <thread>

namespace platform {
namespace {

// The settings file may not exist yet; its folder is made here so that the
// lock can sit beside it.
std::string CanonicalPath(const std::string& Path) {
    char resolved[PATH_MAX];
    if (realpath(Path.c_str(), resolved) != nullptr)
        return resolved;
    const std::string folder = reg::FolderOf(Path);
    reg::MakeFolders(folder);
    if (realpath(folder.c_str(), resolved) == nullptr)
        throw std::system_error(errno, std::generic_category());
    return std::string(resolved) + Path.substr(folder.size());
}

// FNV-1a: stable across builds and versions, unlike std::hash.
std::uint64_t Fnv1a(const std::string& Text) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (const char c : Text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    return hash;
}

std::string MeetingPointFor(const std::string& Canonical) {
    char name[64];
    std::snprintf(name, sizeof(name), "kestrava-sentrel-%u-%016llx.socket",
                  static_cast<unsigned>(getuid()),
                  static_cast<unsigned long long>(Fnv1a(Canonical)));
    // The per-user runtime folder, closed to other users, when there is one.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string path =
        runtime != nullptr && runtime[0] == '/' ? std::string(runtime) + "/" + name : "";
    if (path.empty() || path.size() >= sizeof(sockaddr_un::sun_path))
        path = GetTempDirectory() + "/" + name;
    return path;
}

} // namespace

TInstanceLock::TInstanceLock(const std::string& SettingsPath, const std::string& Kind) {
    std::string path = SettingsPath + ".instance";
    try {
        const std::string canonical = CanonicalPath(SettingsPath);
        FMeetingPoint = MeetingPointFor(canonical);
        path = canonical + ".instance";
    } catch (const std::exception& e) {
        FError = path + ": " + e.what();
        return;
    }
    // No FIFO may block the start, and no link may redirect the write.
    FFd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    struct stat info {};
    if (FFd < 0 || fstat(FFd, &info) != 0 || !S_ISREG(info.st_mode)) {
        FError = path + ": " + (FFd < 0 ? std::strerror(errno) : "not a regular file");
        if (FFd >= 0)
            close(FFd);
        FFd = -1;
        return;
    }
    int result = 0;
    while ((result = flock(FFd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (result != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            FState = TState::Held;
            ReadHolder();
        } else {
            FError = path + ": " + std::strerror(error);
        }
        close(FFd);
        FFd = -1;
        return;
    }
    FState = TState::Ours;
    const std::string line = std::to_string(getpid()) + " " + Kind + "\n";
    if (ftruncate(FFd, 0) != 0 ||
        pwrite(FFd, line.data(), line.size(), 0) != static_cast<ssize_t>(line.size()))
        // The lock holds all the same; the others only miss the pid.
        FError = path + ": " + std::strerror(errno);
}

TInstanceLock::~TInstanceLock() {
    if (FFd >= 0)
        close(FFd);
}

void TInstanceLock::ReadHolder() {
    // The holder writes its line right after taking the lock; a start that
    // comes in between sees the file empty for a moment.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    do {
        char buffer[128] = {};
        const ssize_t n = pread(FFd, buffer, sizeof(buffer) - 1, 0);
        if (n > 0 && buffer[n - 1] == '\n') {
            std::istringstream line(std::string(buffer, static_cast<size_t>(n)));
            long pid = 0;
            std::string kind;
            if (line >> pid >> kind && pid > 0) {
                FHolderPid = pid;
                FHolderKind = kind;
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
}

} // namespace platform
