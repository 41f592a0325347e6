#pragma once
// The service manager that may have started the program (systemd, for a
// user service): told when the program is ready, how it is doing and when it
// stops, and pinged for its watchdog. Without one (no NOTIFY_SOCKET) every
// call does nothing. Beside it, whether an output stream is the journal, and
// the journal's way of giving a line its priority.

#include <chrono>
#include <string>

namespace platform {

class TServiceManager {
public:
    // Reads what the manager handed over in the environment.
    TServiceManager();

    // True when a manager listens for the calls below.
    bool Listening() const { return FListening; }
    // Once, when the program is up; Status says what it does.
    void Ready(const std::string& Status) const;
    // A one-line summary the manager shows with the service's state. Control
    // characters become blanks: a line break would start another message.
    void Status(const std::string& Status) const;
    // Once, when a stop begins.
    void Stopping() const;

    // How often WatchdogPing must come for the manager not to end the
    // program as hung; zero when it keeps no watchdog on it.
    std::chrono::microseconds WatchdogInterval() const { return FWatchdog; }
    void WatchdogPing() const;

private:
    bool FListening = false;
    std::chrono::microseconds FWatchdog{0};
};

// True when Fd is the stream the manager connected to the journal
// (JOURNAL_STREAM names its device and inode); false for any other, such as
// a stream a caller put in its place.
bool IsJournalStream(int Fd);

enum class TLogPriority { Error, Warning, Info };
// Text with the journal's priority prefix ("<3>", "<4>", "<6>") before each
// of its lines; a line without one would be taken as information.
std::string JournalLines(TLogPriority Priority, const std::string& Text);

} // namespace platform
