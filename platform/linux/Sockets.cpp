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
AddressLookupHook gAddressHook;

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

int ActiveSessions() {
    return gSessions.load();
}

std::optional<TResolvedAddresses> GetHostAddresses(const std::string& Name) {
    if (gSessions.load() == 0)
        return std::nullopt;
    {
        std::lock_guard<std::mutex> lock(gHookLock);
        if (gAddressHook)
            return gAddressHook(Name);
        if (gLookupHook) {
            const std::optional<uint32_t> found = gLookupHook(Name);
            if (!found)
                return std::nullopt;
            return TResolvedAddresses{{*found}, {}};
        }
    }
    if (!IsHostNameSyntax(Name))
        return std::nullopt;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    // One socket type, so that each address comes once rather than once per type.
    hints.ai_socktype = SOCK_RAW;
    addrinfo* found = nullptr;
    if (getaddrinfo(Name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return std::nullopt;
    TResolvedAddresses addresses;
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addr == nullptr)
            continue;
        if (entry->ai_family == AF_INET) {
            addresses.IPv4.push_back(
                reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
        } else if (entry->ai_family == AF_INET6) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ai_addr);
            TResolvedAddress6 address;
            std::memcpy(address.Bytes.data(), &in6->sin6_addr, address.Bytes.size());
            address.ScopeId = in6->sin6_scope_id;
            addresses.IPv6.push_back(address);
        }
    }
    freeaddrinfo(found);
    if (addresses.IPv4.empty() && addresses.IPv6.empty())
        return std::nullopt;
    return addresses;
}

std::optional<uint32_t> GetHostByName(const std::string& Name) {
    const std::optional<TResolvedAddresses> found = GetHostAddresses(Name);
    if (!found || found->IPv4.empty())
        return std::nullopt;
    return found->IPv4.front();
}

bool IsHostNameSyntax(const std::string& Text) {
    if (Text.empty() || Text.size() > 253)
        return false;
    size_t label = 0;
    for (size_t i = 0; i < Text.size(); ++i) {
        const auto c = static_cast<unsigned char>(Text[i]);
        if (c == '.') {
            if (label == 0)
                return false;
            label = 0;
            continue;
        }
        if (++label > 63)
            return false;
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (plain)
            continue;
        if (c < 0xC2 || c > 0xF4)
            return false; // controls, blanks, punctuation, stray continuation bytes
        // A whole UTF-8 sequence: its continuation bytes must follow.
        const size_t length = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        if (i + length > Text.size())
            return false;
        for (size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(Text[i + k]) & 0xC0) != 0x80)
                return false;
        i += length - 1;
    }
    return true;
}

void SetStartupResult(int Result) {
    gStartupResult.store(Result);
}

void SetLookupHook(LookupHook Hook) {
    std::lock_guard<std::mutex> lock(gHookLock);
    gLookupHook = std::move(Hook);
    gAddressHook = nullptr;
}

void SetAddressLookupHook(AddressLookupHook Hook) {
    std::lock_guard<std::mutex> lock(gHookLock);
    gAddressHook = std::move(Hook);
    gLookupHook = nullptr;
}

} // namespace platform
