#include "platform/ServiceManager.h"

#include <systemd/sd-daemon.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace platform {
namespace {

std::string OneLine(const std::string& Text) {
    std::string line = Text;
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    return line;
}

void Notify(const std::string& Message) {
    // Fails only when the manager has gone; nothing to do about that here.
    sd_notify(0, Message.c_str());
}

} // namespace

TServiceManager::TServiceManager() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    FListening = socket != nullptr && *socket != '\0';
    uint64_t usec = 0;
    if (FListening && sd_watchdog_enabled(0, &usec) > 0)
        FWatchdog = std::chrono::microseconds(usec);
}

void TServiceManager::Ready(const std::string& Status) const {
    if (FListening)
        Notify("READY=1\nSTATUS=" + OneLine(Status));
}

void TServiceManager::Status(const std::string& Status) const {
    if (FListening)
        Notify("STATUS=" + OneLine(Status));
}

void TServiceManager::Stopping() const {
    if (FListening)
        Notify("STOPPING=1\nSTATUS=Stopping");
}

void TServiceManager::WatchdogPing() const {
    if (FWatchdog.count() > 0)
        Notify("WATCHDOG=1");
}

bool IsJournalStream(int Fd) {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr)
        return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char end = 0;
    if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &end) != 2)
        return false;
    struct stat status {};
    return fstat(Fd, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

std::string JournalLines(TLogPriority Priority, const std::string& Text) {
    const char* prefix = Priority == TLogPriority::Error     ? SD_ERR
                         : Priority == TLogPriority::Warning ? SD_WARNING
                                                             : SD_INFO;
    std::string lines = prefix;
    for (const char c : Text) {
        lines += c;
        if (c == '\n')
            lines += prefix;
    }
    return lines;
}

} // namespace platform
