#pragma once
// One running copy per settings file: a lock file beside it, held with flock
// for the copy's life and naming that copy. The kernel drops the lock however
// the copy ends, so a killed copy never blocks the next start.

#include <string>

namespace platform {

class TInstanceLock {
public:
    enum class TState { Ours, Held, Failed };

    // Tries once and never waits for the holder. Kind is a word that tells
    // the other copies what this one is.
    TInstanceLock(const std::string& SettingsPath, const std::string& Kind);
    ~TInstanceLock();
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    TState State() const { return FState; }
    // When Held: the holder's pid (0 when unreadable) and kind ("" then).
    long HolderPid() const { return FHolderPid; }
    const std::string& HolderKind() const { return FHolderKind; }
    // When Failed: the lock file and why, one line.
    const std::string& Error() const { return FError; }
    // A file-system socket path for copies of this user on this settings
    // file to meet; the same for every spelling of the settings path.
    const std::string& MeetingPoint() const { return FMeetingPoint; }

private:
    void ReadHolder();

    int FFd = -1;
    TState FState = TState::Failed;
    long FHolderPid = 0;
    std::string FHolderKind;
    std::string FError;
    std::string FMeetingPoint;
};

} // namespace platform
