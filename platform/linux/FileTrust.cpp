#include "platform/FileTrust.h"

#include "platform/Process.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace platform {
namespace {

std::atomic<long> gTrustedOwner{-1};

// Path with every link resolved, or empty (errno set).
std::string Resolved(const std::string& Path) {
    const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(Path.c_str(), nullptr),
                                                               &std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

std::string Quoted(const std::string& Text) {
    return "\"" + Text + "\"";
}

// Empty when only root can change what Info describes. A sticky folder such
// as /tmp lets others add files but not replace root's, so it counts as safe.
std::string WhyNotRootsOnly(const struct stat& Info, const std::string& What) {
    if (Info.st_uid != 0 && static_cast<long>(Info.st_uid) != gTrustedOwner)
        return What + " is owned by user " + std::to_string(Info.st_uid) + ", not by root";
    const bool folder = S_ISDIR(Info.st_mode);
    if ((Info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !(folder && (Info.st_mode & S_ISVTX) != 0))
        return What + " is writable by " +
               ((Info.st_mode & S_IWOTH) != 0 ? "every user" : "its group");
    return {};
}

// See TrustedLibraryPath; ProgramFolder: whether a file in the program's own
// folder is taken whoever owns it.
std::string Trusted(const std::string& Path, std::string& Why, bool ProgramFolder) {
    Why.clear();
    if (Path.empty() || Path.front() != '/') {
        Why = "it is not an absolute path";
        return {};
    }
    std::string file = Resolved(Path);
    struct stat info {};
    if (file.empty() || stat(file.c_str(), &info) != 0) {
        Why = std::string("it cannot be read (") + std::strerror(errno) + ")";
        return {};
    }
    if (!S_ISREG(info.st_mode)) {
        Why = S_ISDIR(info.st_mode) ? "it is a folder, not a file" : "it is not a regular file";
        return {};
    }
    const std::string inside = file != Path ? " (the link's target " + Quoted(file) + ")" : "";
    std::string folder = file.substr(0, file.rfind('/'));
    // The program's own folder holds the program itself: whoever can change
    // a file there can change the program anyway.
    if (ProgramFolder) {
        const std::string program = Resolved(ExecutableDirectory());
        if (!program.empty() && folder == program)
            return file;
    }
    Why = WhyNotRootsOnly(info, "it" + inside);
    // Whoever can write to a folder on the way can put another file in its place.
    while (Why.empty() && !folder.empty()) {
        struct stat folderInfo {};
        if (stat(folder.c_str(), &folderInfo) != 0) {
            Why = "its folder " + Quoted(folder) + " cannot be read (" + std::strerror(errno) + ")";
            break;
        }
        Why = WhyNotRootsOnly(folderInfo, "its folder " + Quoted(folder));
        folder.resize(folder.rfind('/'));
    }
    if (Why.empty()) {
        struct stat rootInfo {};
        if (stat("/", &rootInfo) == 0)
            Why = WhyNotRootsOnly(rootInfo, "the root folder");
    }
    return Why.empty() ? file : std::string();
}

} // namespace

std::string TrustedLibraryPath(const std::string& Path, std::string& Why) {
    return Trusted(Path, Why, true);
}

std::string TrustedAdministratorFile(const std::string& Path, std::string& Why) {
    return Trusted(Path, Why, false);
}

void SetTrustedOwner(long Uid) {
    gTrustedOwner = Uid;
}

} // namespace platform
