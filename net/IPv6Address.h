#pragma once
// IPv6 literals as a user types them: full or compressed groups, an IPv4 tail
// (::ffff:10.0.0.1), optional brackets and a zone (%eth0, %2) for link-local
// addresses. Malformed text is refused with a reason fit to show the user.

#include <array>
#include <cstdint>
#include <string>

struct TIPv6Address {
    std::array<uint8_t, 16> Bytes{}; // network order
    std::string Zone;                // interface name or number; empty when none

    bool operator==(const TIPv6Address&) const = default;
};

// Parses Text; on failure returns false, leaves Address alone and says why in
// Reason.
bool ParseIPv6Address(const std::string& Text, TIPv6Address& Address, std::string& Reason);

// Canonical text (lower case, the longest run of two or more zero groups
// compressed, the first of equal runs, ::ffff:a.b.c.d for IPv4-mapped
// addresses), then %zone when there is one. No brackets.
std::string FormatIPv6Address(const TIPv6Address& Address);

// The scope id a zone stands for: its number, or the index of the interface
// of that name in the caller's network namespace; 0 when there is none.
uint32_t IPv6ZoneIndex(const std::string& Zone);

// True when Text can only be meant as an IPv6 literal (names hold no colon),
// so that a parse failure is the user's typo rather than a name to look up.
bool LooksLikeIPv6(const std::string& Text);
