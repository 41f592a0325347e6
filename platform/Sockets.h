#pragma once
// The sockets session and the blocking name lookup. On this system sockets
// need no start-up, but the session is kept as a real count of start-ups so
// that a lookup outside a session fails as it would where sockets must be
// started first.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Error numbers a start-up can return (the sockets library's own numbers).
enum : int {
    WSAEFAULT = 10014,
    WSAEINPROGRESS = 10036,
    WSAEPROCLIM = 10067,
    WSASYSNOTREADY = 10091,
    WSAVERNOTSUPPORTED = 10092,
    WSANOTINITIALISED = 10093,
    WSAHOST_NOT_FOUND = 11001,
};

struct WSAData {
    uint16_t Version = 0;
    uint16_t HighVersion = 0;
    char Description[257] = {};
    char SystemStatus[129] = {};
};

inline constexpr uint16_t MakeWord(uint8_t Low, uint8_t High) {
    return static_cast<uint16_t>(Low | (High << 8));
}

// Starts one session for the requested version (low byte major, high byte
// minor); returns 0 or one of the error numbers above.
int WSAStartup(uint16_t VersionRequested, WSAData* Data);
// Ends one session; returns 0, or WSANOTINITIALISED when none is open.
int WSACleanup();
// Number of sessions now open.
int ActiveSessions();

// An IPv6 address as the resolver gives it: bytes in network order and the
// interface of a link-local address (0 when none).
struct TResolvedAddress6 {
    std::array<uint8_t, 16> Bytes{};
    uint32_t ScopeId = 0;

    bool operator==(const TResolvedAddress6&) const = default;
};

// The addresses a name stands for, each kind in the resolver's order.
struct TResolvedAddresses {
    std::vector<uint32_t> IPv4; // network order
    std::vector<TResolvedAddress6> IPv6;

    bool operator==(const TResolvedAddresses&) const = default;
};

// Looks Name up and returns all its IPv4 and IPv6 addresses, or nothing when
// it has none. Blocks like GetHostByName and fails where it does.
std::optional<TResolvedAddresses> GetHostAddresses(const std::string& Name);

// Looks Name up and returns its first IPv4 address in network order (first
// octet in the lowest-addressed byte), or nothing. Blocks the caller for the
// duration of the lookup. Fails outside a session, and without asking
// anyone for a text that cannot be a host name.
std::optional<uint32_t> GetHostByName(const std::string& Name);

// Test hooks. A start-up result other than 0 makes the next start-ups fail
// with it. A lookup hook, when set, answers every lookup instead of the
// system's resolver (tests never ask a name server).
void SetStartupResult(int Result);
// Whether Text can be a host name worth asking a resolver about: 1 to 253
// characters, labels of at most 63, letters, digits, '-', '_' and '.', or
// UTF-8 for names beyond ASCII.
bool IsHostNameSyntax(const std::string& Text);
using LookupHook = std::function<std::optional<uint32_t>(const std::string& Name)>;
void SetLookupHook(LookupHook Hook);
// As SetLookupHook, answering with both kinds of address; it takes the place
// of an IPv4-only hook, and either reset with nullptr.
using AddressLookupHook = std::function<std::optional<TResolvedAddresses>(const std::string& Name)>;
void SetAddressLookupHook(AddressLookupHook Hook);

} // namespace platform
