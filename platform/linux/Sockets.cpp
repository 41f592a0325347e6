#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace platform {
namespace {

std::atomic<int> gSessions{0};
std::atomic<int> gStartupResult{0};
std::mutex gHookLock;
LookupHook gLookupHook;

} // namespace

int WSAStartup(uint16_t VersionRequested, WSAData* Data) {
    if (Data == nullptr)
        return WSAEFAULT;
    if (const int forced = gStartupResult.load(); forced != 0)
        return forced;
    // Versions 1.1 to 2.2 are offered; anything below 1.1 is not.
    const uint8_t major = VersionRequested & 0xff;
    const uint8_t minor = VersionRequested >> 8;
    if (major < 1 || (major == 1 && minor < 1))
        return WSAVERNOTSUPPORTED;
    *Data = WSAData{};
    Data->Version = (major > 2 || (major == 2 && minor > 2)) ? MakeWord(2, 2) : VersionRequested;
    Data->HighVersion = MakeWord(2, 2);
    std::strncpy(Data->Description, "POSIX sockets", sizeof(Data->Description) - 1);
    std::strncpy(Data->SystemStatus, "Running", sizeof(Data->SystemStatus) - 1);
    ++gSessions;
    return 0;
}

int WSACleanup() {
    int open = gSessions.load();
    while (open > 0) {
        if (gSessions.compare_exchange_weak(open, open - 1))
            return 0;
    }
    return WSANOTINITIALISED;
}

int ActiveSessions() { return gSessions.load(); }

std::optional<uint32_t> GetHostByName(const std::string& Name) {
    if (gSessions.load() == 0)
        return std::nullopt;
    {
        std::lock_guard<std::mutex> lock(gHookLock);
        if (gLookupHook)
            return gLookupHook(Name);
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_RAW;
    addrinfo* found = nullptr;
    if (getaddrinfo(Name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return std::nullopt;
    std::optional<uint32_t> address;
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
            address = reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
            break;
        }
    }
    freeaddrinfo(found);
    return address;
}

void SetStartupResult(int Result) { gStartupResult.store(Result); }

void SetLookupHook(LookupHook Hook) {
    std::lock_guard<std::mutex> lock(gHookLock);
    gLookupHook = std::move(Hook);
}

} // namespace platform
