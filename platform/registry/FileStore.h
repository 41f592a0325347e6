#pragma once
// The file operations behind the registry's files: where they live, whole
// reads, all-or-nothing replacement, a lock shared by every running copy, and
// moving a damaged file out of the way. Failures raise std::system_error
// carrying the system's error code.

#include <sys/types.h>

#include <string>
#include <string_view>

namespace platform::reg {

// $XDG_CONFIG_HOME, or ~/.config when that is unset, empty or relative.
std::string ConfigHome();
std::string FolderOf(const std::string& Path);

// False when the file does not exist (nor the folder it would be in).
bool ReadFileBytes(const std::string& Path, std::string& Bytes);
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
