#include "platform/registry/FileStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <system_error>
#include <utility>

namespace platform::reg {

namespace {

[[noreturn]] void ThrowErrno(int Error) {
    throw std::system_error(Error, std::system_category());
}

FileCalls gSystemCalls;
FileCalls* gCalls = &gSystemCalls;

void SyncFolder(const std::string& Folder) {
    // Makes the rename itself durable. Some file systems refuse fsync on a
    // folder; the new file is complete either way, so that is no failure.
    const int fd = open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        gCalls->Sync(fd);
        close(fd);
    }
}

const char* KindOf(mode_t Mode) {
    if (S_ISDIR(Mode))
        return "a folder";
    if (S_ISFIFO(Mode))
        return "a FIFO";
    if (S_ISSOCK(Mode))
        return "a socket";
    if (S_ISCHR(Mode))
        return "a character device";
    if (S_ISBLK(Mode))
        return "a block device";
    return "not a file";
}

FileIdentity IdentityFrom(const struct stat& Status) {
    return {Status.st_dev, Status.st_ino, Status.st_size, Status.st_mtim};
}

} // namespace

NotRegularFileError::NotRegularFileError(std::string Kind)
    : std::system_error(EINVAL, std::system_category(), Kind + ", not a regular file"),
      FKind(std::move(Kind)) {}

bool FileIdentity::operator==(const FileIdentity& Other) const {
    return Device == Other.Device && Inode == Other.Inode && Size == Other.Size &&
           Modified.tv_sec == Other.Modified.tv_sec && Modified.tv_nsec == Other.Modified.tv_nsec;
}

std::optional<FileIdentity> IdentityOf(const std::string& Path) {
    struct stat status {};
    if (stat(Path.c_str(), &status) != 0)
        return std::nullopt;
    return IdentityFrom(status);
}

std::string FollowLinks(const std::string& Path) {
    std::string path = Path;
    // The system's own limit on links followed in one lookup.
    for (int hop = 0; hop < 40; ++hop) {
        struct stat status {};
        if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
            return path;
        std::string target(PATH_MAX, '\0');
        const ssize_t n = readlink(path.c_str(), target.data(), target.size());
        if (n < 0)
            ThrowErrno(errno);
        target.resize(static_cast<size_t>(n));
        if (target.starts_with('/')) {
            path = std::move(target);
        } else {
            std::string folder = FolderOf(path);
            path = std::move(folder.append("/").append(target));
        }
    }
    ThrowErrno(ELOOP);
}

ssize_t FileCalls::Write(int Fd, const void* Bytes, size_t Size) {
    return write(Fd, Bytes, Size);
}

int FileCalls::Sync(int Fd) {
    return fsync(Fd);
}

int FileCalls::Rename(const char* From, const char* To) {
    return rename(From, To);
}

void SetFileCalls(FileCalls* Calls) {
    gCalls = Calls != nullptr ? Calls : &gSystemCalls;
}

std::string ConfigHome() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/')
        return config;
    std::string home;
    if (const char* env = std::getenv("HOME"); env != nullptr && env[0] != '\0')
        home = env;
    else if (const passwd* user = getpwuid(getuid()); user && user->pw_dir)
        home = user->pw_dir;
    return home + "/.config";
}

std::string FolderOf(const std::string& Path) {
    const size_t slash = Path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : Path.substr(0, slash);
}

bool ReadFileBytes(const std::string& Path, std::string& Bytes, FileIdentity* Identity) {
    struct stat status {};
    if (stat(Path.c_str(), &status) == 0 && !S_ISREG(status.st_mode))
        throw NotRegularFileError(KindOf(status.st_mode));
    // Not blocking: something other than a file may have taken its place since.
    const int fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        // A file where a folder should be also means there is no such file;
        // writing it will say what is wrong.
        if (errno == ENOENT || errno == ENOTDIR)
            return false;
        ThrowErrno(errno);
    }
    if (fstat(fd, &status) != 0) {
        const int error = errno;
        close(fd);
        ThrowErrno(error);
    }
    if (!S_ISREG(status.st_mode)) {
        close(fd);
        throw NotRegularFileError(KindOf(status.st_mode));
    }
    if (Identity != nullptr)
        *Identity = IdentityFrom(status);
    Bytes.clear();
    // One allocation for the whole file rather than a copy at each doubling.
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        Bytes.reserve(static_cast<size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            close(fd);
            ThrowErrno(error);
        }
        if (n == 0)
            break;
        Bytes.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

void MakeFolders(const std::string& Folder) {
    for (size_t slash = Folder.find('/', 1);; slash = Folder.find('/', slash + 1)) {
        const std::string part = Folder.substr(0, slash);
        if (!part.empty() && mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            ThrowErrno(errno);
        if (slash == std::string::npos)
            break;
    }
}

int RemoveOrphanedTemporaries(const std::string& Path) {
    const std::string folder = FolderOf(Path);
    const std::string prefix = Path.substr(folder.size() + 1) + ".tmp-";
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return 0;
    int removed = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        // Exactly the names ReplaceFile makes: the prefix and six characters.
        if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0 &&
            unlinkat(dirfd(dir), name.c_str(), 0) == 0)
            ++removed;
    }
    closedir(dir);
    return removed;
}

void ReplaceFile(const std::string& Path, std::string_view Bytes) {
    std::string temporary = Path + ".tmp-XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC); // creates it 0600
    if (fd < 0)
        ThrowErrno(errno);
    auto fail = [&](int Error) {
        close(fd);
        unlink(temporary.c_str());
        ThrowErrno(Error);
    };
    for (size_t done = 0; done < Bytes.size();) {
        const ssize_t n = gCalls->Write(fd, Bytes.data() + done, Bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail(errno);
        done += static_cast<size_t>(n);
    }
    if (gCalls->Sync(fd) != 0)
        fail(errno);
    if (close(fd) != 0) {
        const int error = errno;
        unlink(temporary.c_str());
        ThrowErrno(error);
    }
    if (gCalls->Rename(temporary.c_str(), Path.c_str()) != 0) {
        const int error = errno;
        unlink(temporary.c_str());
        ThrowErrno(error);
    }
    SyncFolder(FolderOf(Path));
}

bool RemoveFile(const std::string& Path) {
    if (unlink(Path.c_str()) != 0) {
        if (errno == ENOENT)
            return false;
        ThrowErrno(errno);
    }
    SyncFolder(FolderOf(Path));
    return true;
}

std::string MoveAside(const std::string& Path) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = Path + ".broken-" + stamp;
    for (int attempt = 1; attempt <= 1000; ++attempt) {
        std::string target = attempt == 1 ? base : base + "-" + std::to_string(attempt);
        if (renameat2(AT_FDCWD, Path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
            SyncFolder(FolderOf(Path));
            return target;
        }
        if (errno == EEXIST)
            continue;
        if (errno != EINVAL && errno != ENOSYS)
            ThrowErrno(errno);
        // A file system without no-replace renames: check first instead.
        struct stat existing {};
        if (lstat(target.c_str(), &existing) == 0)
            continue;
        if (rename(Path.c_str(), target.c_str()) != 0)
            ThrowErrno(errno);
        SyncFolder(FolderOf(Path));
        return target;
    }
    ThrowErrno(EEXIST);
}

FileLock::FileLock(const std::string& Path) {
    FFd = open(Path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (FFd < 0) {
        const int error = errno;
        // An existing lock file can still be locked where it cannot be written.
        FFd = open(Path.c_str(), O_RDONLY | O_CLOEXEC);
        if (FFd < 0)
            ThrowErrno(error);
    }
    while (flock(FFd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            const int error = errno;
            close(FFd);
            ThrowErrno(error);
        }
    }
}

FileLock::~FileLock() {
    close(FFd);
}

} // namespace platform::reg
