#pragma once
// The file operations behind the registry's files: where they live, whole
// reads, all-or-nothing replacement, a lock shared by every running copy, and
// moving a damaged file out of the way. Failures raise std::system_error
// carrying the system's error code.

#include <sys/types.h>

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace platform::reg {

// Raised for a path that is there but is no regular file (a FIFO, a socket, a
// device, a folder), which is never opened for reading: that could block or
// never end. Kind says what it is, e.g. "a FIFO".
class NotRegularFileError : public std::system_error {
public:
    explicit NotRegularFileError(std::string Kind);
    const std::string& Kind() const { return FKind; }

private:
    std::string FKind;
};

// Tells a file from another one put at its path since (a save renames a new
// file in; an editor may rewrite it in place).
struct FileIdentity {
    dev_t Device = 0;
    ino_t Inode = 0;
    off_t Size = 0;
    timespec Modified{};
    bool operator==(const FileIdentity& Other) const;
};
// The identity of the file at Path now (following links), if there is one.
std::optional<FileIdentity> IdentityOf(const std::string& Path);

// Where Path's symbolic links lead in the end, a relative link read from its
// own folder; Path itself when it is no link. A dangling link gives the path
// it names, so that a save creates it.
std::string FollowLinks(const std::string& Path);

// $XDG_CONFIG_HOME, or ~/.config when that is unset, empty or relative.
std::string ConfigHome();
std::string FolderOf(const std::string& Path);

// False when the file does not exist (nor the folder it would be in).
// Identity, when given, receives the identity of the file read.
bool ReadFileBytes(const std::string& Path, std::string& Bytes, FileIdentity* Identity = nullptr);
// Creates the folder and any missing parents, readable by the owner only.
void MakeFolders(const std::string& Folder);
// Writes a temporary file beside Path (owner-only), flushes it to the disk
// and renames it over Path, so readers see the old file or the new one,
// never a part. The temporary file is removed on failure.
void ReplaceFile(const std::string& Path, std::string_view Bytes);
// False when there was nothing to remove.
bool RemoveFile(const std::string& Path);
// Renames Path to Path.broken-YYYYMMDD-HHMMSS (adding -2, -3... rather than
// replacing an earlier one) and returns the new name.
std::string MoveAside(const std::string& Path);

// The calls that make a replacement durable, in one place so that a test
// can see their order: a killed save cannot show a missing fsync.
class FileCalls {
public:
    virtual ~FileCalls() = default;
    virtual ssize_t Write(int Fd, const void* Bytes, size_t Size);
    virtual int Sync(int Fd);
    virtual int Rename(const char* From, const char* To);
};
// Test hook: Calls replaces the system's calls; null puts them back.
void SetFileCalls(FileCalls* Calls);

// An exclusive flock on a lock file, held until destroyed. The lock file
// stays: removing it would let two copies lock different files.
// Removes what a save killed part-way left beside Path (its temporary
// files). Only safe under the store's lock, when no save can be running.
// Returns how many went.
int RemoveOrphanedTemporaries(const std::string& Path);

class FileLock {
public:
    explicit FileLock(const std::string& Path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int FFd;
};

} // namespace platform::reg
