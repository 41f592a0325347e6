#include "net/IPv6Address.h"

#include "framework/Text.h"

#include <net/if.h>

#include <vector>

namespace {

using text::HexDigit;

std::string Quoted(char c) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
        static const char hex[] = "0123456789abcdef";
        const auto u = static_cast<unsigned char>(c);
        return std::string("byte 0x") + hex[u >> 4] + hex[u & 15];
    }
    return "'" + std::string(1, c) + "'";
}

// A dotted quad as inet_pton reads it: four decimal numbers up to 255, no
// leading zeros, nothing else.
bool ParseIPv4Tail(const std::string& Text, size_t From, uint8_t* Out, std::string& Reason) {
    int part = 0;
    size_t i = From;
    for (;;) {
        const size_t start = i;
        unsigned value = 0;
        while (i < Text.size() && Text[i] >= '0' && Text[i] <= '9' && i - start < 4)
            value = value * 10 + static_cast<unsigned>(Text[i++] - '0');
        if (i == start || i - start > 3 || value > 255) {
            Reason = "the IPv4 part has a number that is not 0 to 255";
            return false;
        }
        if (i - start > 1 && Text[start] == '0') {
            Reason = "the IPv4 part has a number with a leading zero";
            return false;
        }
        Out[part++] = static_cast<uint8_t>(value);
        if (part == 4)
            break;
        if (i >= Text.size() || Text[i] != '.') {
            Reason = "the IPv4 part needs four numbers separated by dots";
            return false;
        }
        ++i;
    }
    if (i != Text.size()) {
        Reason = "unexpected " + Quoted(Text[i]) + " after the IPv4 part";
        return false;
    }
    return true;
}

bool CheckZone(const std::string& Zone, std::string& Reason) {
    if (Zone.empty()) {
        Reason = "the zone after '%' is empty";
        return false;
    }
    // Interface names are at most 15 bytes, numbers at most 10 digits.
    if (Zone.size() >= IF_NAMESIZE) {
        Reason = "the zone is longer than an interface name can be";
        return false;
    }
    for (const char c : Zone) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f || c == '/' || c == '%' || c == '[' || c == ']') {
            Reason = "the zone holds " + Quoted(c) + ", which no interface name can";
            return false;
        }
    }
    return true;
}

// The groups of an address part as read so far.
struct Groups {
    std::vector<uint16_t> Words;
    int CompressedAt = -1; // index in Words where "::" stands; -1: nowhere
    bool HasTail = false;  // an IPv4 tail ends the address
    uint8_t Tail[4] = {};
};

// One hex group, or the IPv4 tail, at At; moves At past it.
bool ReadGroup(const std::string& Text, size_t& At, Groups& G, std::string& Reason) {
    const size_t start = At;
    unsigned value = 0;
    while (At < Text.size() && HexDigit(Text[At]) >= 0)
        value = (value << 4 | static_cast<unsigned>(HexDigit(Text[At++]))) & 0xfffff;
    if (At < Text.size() && Text[At] == '.') {
        if (G.Words.size() > 6) {
            Reason = "too many groups before the IPv4 part";
            return false;
        }
        At = Text.size();
        G.HasTail = true;
        return ParseIPv4Tail(Text, start, G.Tail, Reason);
    }
    if (At == start) {
        if (Text[At] == ':')
            Reason = G.CompressedAt >= 0 ? R"(more than one "::" or ":::")" : "empty group";
        else
            Reason = "bad hex digit " + Quoted(Text[At]);
        return false;
    }
    if (At - start > 4) {
        Reason = "a group has more than four hex digits";
        return false;
    }
    if (G.Words.size() == 8) {
        Reason = "more than eight groups";
        return false;
    }
    G.Words.push_back(static_cast<uint16_t>(value));
    return true;
}

// The ':' or "::" after a group at At; moves At past it.
bool ReadSeparator(const std::string& Text, size_t& At, Groups& G, std::string& Reason) {
    if (Text[At] != ':') {
        Reason = "bad hex digit " + Quoted(Text[At]);
        return false;
    }
    ++At;
    if (At < Text.size() && Text[At] == ':') {
        if (G.CompressedAt >= 0) {
            Reason = R"(more than one "::")";
            return false;
        }
        G.CompressedAt = static_cast<int>(G.Words.size());
        ++At;
    } else if (At == Text.size()) {
        Reason = "the address ends in a single ':'";
        return false;
    }
    return true;
}

// The address part (no brackets, no zone) into 16 bytes.
bool ParseGroups(const std::string& Text, uint8_t* Out, std::string& Reason) {
    if (Text.empty()) {
        Reason = "the address is empty";
        return false;
    }
    Groups g;
    size_t i = 0;
    if (Text[0] == ':') {
        if (Text.size() < 2 || Text[1] != ':') {
            Reason = "the address starts with a single ':'";
            return false;
        }
        g.CompressedAt = 0;
        i = 2;
    }
    while (i < Text.size()) {
        if (!ReadGroup(Text, i, g, Reason))
            return false;
        if (i < Text.size() && !ReadSeparator(Text, i, g, Reason))
            return false;
    }
    const std::vector<uint16_t>& groups = g.Words;
    const int compressedAt = g.CompressedAt;
    const size_t count = groups.size() + (g.HasTail ? 2 : 0);
    if (compressedAt < 0 && count != 8) {
        Reason = count < 8 ? R"(fewer than eight groups and no "::")" : "more than eight groups";
        return false;
    }
    if (compressedAt >= 0 && count > 7) {
        Reason = R"("::" stands for no group here: the address has eight already)";
        return false;
    }
    std::array<uint16_t, 8> words{};
    const size_t zeros = 8 - count;
    size_t w = 0;
    for (size_t g = 0; g < groups.size(); ++g) {
        if (static_cast<int>(g) == compressedAt)
            w += zeros;
        words[w++] = groups[g];
    }
    for (size_t k = 0; k < 8; ++k) {
        Out[2 * k] = static_cast<uint8_t>(words[k] >> 8);
        Out[2 * k + 1] = static_cast<uint8_t>(words[k]);
    }
    if (g.HasTail)
        std::copy(g.Tail, g.Tail + 4, Out + 12);
    return true;
}

} // namespace

bool ParseIPv6Address(const std::string& Text, TIPv6Address& Address, std::string& Reason) {
    std::string body = Text;
    if (!body.empty() && body[0] == '[') {
        const size_t close = body.find(']');
        if (close == std::string::npos) {
            Reason = "'[' without its ']'";
            return false;
        }
        if (close + 1 != body.size()) {
            Reason = "unexpected text after ']'";
            return false;
        }
        body = body.substr(1, close - 1);
    }
    if (body.find_first_of("[]") != std::string::npos) {
        Reason = "unbalanced brackets";
        return false;
    }
    std::string zone;
    const size_t percent = body.find('%');
    if (percent != std::string::npos) {
        zone = body.substr(percent + 1);
        body.resize(percent);
        if (!CheckZone(zone, Reason))
            return false;
    }
    TIPv6Address parsed;
    if (!ParseGroups(body, parsed.Bytes.data(), Reason))
        return false;
    parsed.Zone = std::move(zone);
    Address = std::move(parsed);
    return true;
}

std::string FormatIPv6Address(const TIPv6Address& Address) {
    std::array<uint16_t, 8> words{};
    for (size_t k = 0; k < 8; ++k)
        words[k] = static_cast<uint16_t>(Address.Bytes[2 * k] << 8 | Address.Bytes[2 * k + 1]);
    const bool mapped = words[0] == 0 && words[1] == 0 && words[2] == 0 && words[3] == 0 &&
                        words[4] == 0 && words[5] == 0xffff;
    const size_t shown = mapped ? 6 : 8;
    // The longest run of at least two zero groups; the first of equal ones.
    size_t bestAt = 0;
    size_t bestLength = 0;
    for (size_t k = 0; k < shown;) {
        size_t end = k;
        while (end < shown && words[end] == 0)
            ++end;
        if (end - k > bestLength) {
            bestAt = k;
            bestLength = end - k;
        }
        k = end > k ? end : k + 1;
    }
    if (bestLength < 2)
        bestLength = 0;
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (size_t k = 0; k < shown; ++k) {
        if (bestLength > 0 && k == bestAt) {
            text += "::";
            k += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':')
            text += ':';
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned digit = (words[k] >> shift) & 15u;
            if (digit != 0 || started || shift == 0) {
                text += hex[digit];
                started = true;
            }
        }
    }
    if (mapped) {
        if (text.back() != ':')
            text += ':';
        for (size_t b = 12; b < 16; ++b)
            text += std::to_string(Address.Bytes[b]) + (b < 15 ? "." : "");
    }
    if (!Address.Zone.empty())
        text += "%" + Address.Zone;
    return text;
}

uint32_t IPv6ZoneIndex(const std::string& Zone) {
    if (Zone.empty())
        return 0;
    uint64_t number = 0;
    for (const char c : Zone) {
        if (c < '0' || c > '9')
            return if_nametoindex(Zone.c_str());
        number = number * 10 + static_cast<uint64_t>(c - '0');
        if (number > UINT32_MAX)
            return 0;
    }
    return static_cast<uint32_t>(number);
}

bool LooksLikeIPv6(const std::string& Text) {
    return Text.find(':') != std::string::npos || (!Text.empty() && Text[0] == '[');
}
