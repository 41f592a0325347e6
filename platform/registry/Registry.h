#pragma once
// The registry: a tree of keys holding named, typed values. The current
// user's tree lives in one text file in the registry editor's export format
// ($XDG_CONFIG_HOME/Kestrava/Sentrel/settings.reg); the classes root, which
// only the help lookup reads, in classes.reg beside it (normally absent).
// The per-user Run key is the desktop's autostart folder: its value NAME is
// the entry $XDG_CONFIG_HOME/autostart/NAME.desktop.
//
// An accessor works on one root. Everything it changes reaches the disk at
// once, in Commit: under a lock, the file is read again, the accessor's
// changes are applied to it, and the result is written to a temporary file,
// flushed and renamed over the old one; a symbolic link in the file's place
// stays, and the file it leads to is replaced. Anything but a regular file
// there is refused, never opened for reading. An accessor destroyed without
// Commit changes nothing on disk.

#include "framework/Exceptions.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

enum RegDataType : uint32_t {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_MULTI_SZ = 7,
    REG_QWORD = 11,
};

enum class RegistryRoot { CurrentUser, ClassesRoot };

class ERegistryException : public Exception {
public:
    using Exception::Exception;
};

class TRegistry {
public:
    explicit TRegistry(RegistryRoot Root = RegistryRoot::CurrentUser);
    ~TRegistry();
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    // Key paths are absolute when they begin with '\', otherwise relative to
    // the current key. Names compare without regard to letter case and keep
    // the case they were created with. The file is read on first use; a file
    // that cannot be read raises ERegistryException naming the file and line
    // (and is moved aside first, so nothing new ever overwrites it, unless
    // LeaveUnreadableFiles).
    bool OpenKey(const std::string& Key, bool CanCreate);
    bool OpenKeyReadOnly(const std::string& Key);
    void CloseKey();
    bool KeyExists(const std::string& Key);
    // Sub-keys of the current key, sorted without regard to case.
    std::vector<std::string> GetKeyNames();
    std::vector<std::string> GetValueNames();
    bool ValueExists(const std::string& Name);
    RegDataType GetDataType(const std::string& Name); // REG_NONE when missing

    // "" names the key's default value. A missing string reads as empty text;
    // another type raises "Invalid data type for '%s'".
    std::string ReadString(const std::string& Name);
    // A missing value, or data other than four bytes of a REG_DWORD or more
    // than four of another type (a string with its terminating zero), raises
    // "Failed to get data for '%s'"; another type "Invalid data type for '%s'".
    int32_t ReadInteger(const std::string& Name);
    // Without an open, writable key: "Failed to set data for '%s'".
    void WriteString(const std::string& Name, const std::string& Value);
    void WriteInteger(const std::string& Name, int32_t Value);
    // A missing value or key is no error; both return whether something went.
    bool DeleteValue(const std::string& Name);
    bool DeleteKey(const std::string& Key);

    // Writes every change of this accessor to disk at once; raises
    // ERegistryException with the file and the system's reason on failure,
    // leaving the file as it was.
    void Commit();

    // For a caller that cannot use what the file holds (a value missing or of
    // the wrong type): moves the file aside as one that cannot be read is,
    // unless another file has replaced it since it was read, so that the next
    // Commit starts a new one. Raises ERegistryException with Reason and where
    // the file went.
    [[noreturn]] void RejectStore(const std::string& Reason);

    // For a run that only adds to the settings or reads them for a script
    // (the command-line import and export): from now on, in this process, a
    // file that cannot be read or that a caller rejects stays where it is,
    // and the error says so. Whoever runs the script sees to the file.
    static void LeaveUnreadableFiles();

    // The file behind a root, from XDG_CONFIG_HOME (or ~/.config) now.
    static std::string StorePath(RegistryRoot Root);
    // The autostart entry behind the Run value Name.
    static std::string AutostartPath(const std::string& Name);

private:
    struct State;
    std::unique_ptr<State> FState;
};

} // namespace platform
