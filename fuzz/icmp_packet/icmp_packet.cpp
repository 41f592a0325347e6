// The ICMP packet reader on any bytes, as a raw socket, a datagram socket and
// a datagram socket's error queue would deliver them. Beyond not reading
// outside the packet (the sanitizers watch that), each answer must agree with
// a plain reading of the bytes: what is an echo reply and where its data
// lies, which echo an error quotes, and which errors count at all.

#include "platform/IcmpApi.h"
#include "platform/icmp/IcmpPacket.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

[[noreturn]] void Fault(const char* What) {
    std::fprintf(stderr, "%s\n", What);
    std::abort();
}

uint16_t BE16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

bool IsError(uint8_t Type) {
    return Type == icmp::TypeDestUnreachable || Type == icmp::TypeSourceQuench ||
           Type == icmp::TypeTimeExceeded || Type == icmp::TypeParamProblem;
}

// An IPv4 header carrying ICMP at P: its length, or 0.
size_t IpHeader(const uint8_t* P, size_t Length) {
    if (Length < 20 || P[0] >> 4 != 4 || P[9] != 1)
        return 0;
    const size_t ihl = (P[0] & 0x0f) * 4u;
    return ihl >= 20 && ihl <= Length ? ihl : 0;
}

void CheckStatus(const icmp::Packet& P) {
    const uint32_t status = icmp::StatusForError(P.Type, P.Code);
    if (status < IP_DEST_NET_UNREACHABLE || status > IP_SOURCE_QUENCH)
        Fault("error status outside the table");
}

void CheckDatagram(const uint8_t* Bytes, size_t Length) {
    const uint32_t source = 0x0100007f;
    const icmp::Packet p = icmp::ParseDatagram(Bytes, Length, source);
    const bool reply =
        Length >= icmp::HeaderSize && Bytes[0] == icmp::TypeEchoReply && Bytes[1] == 0;
    if ((p.What == icmp::Packet::EchoReply) != reply || (!reply && p.What != icmp::Packet::Ignored))
        Fault("datagram: wrong kind");
    if (!reply)
        return;
    if (p.Data != Bytes + icmp::HeaderSize || p.DataSize != Length - icmp::HeaderSize ||
        p.Identifier != BE16(Bytes + 4) || p.Sequence != BE16(Bytes + 6) || p.Source != source)
        Fault("datagram: reply read wrongly");
}

void CheckQuoted(const uint8_t* Bytes, size_t Length) {
    const icmp::Packet p = icmp::ParseQuotedEcho(Bytes, Length);
    const bool echo = Length >= icmp::HeaderSize && Bytes[0] == icmp::TypeEchoRequest;
    if ((p.What == icmp::Packet::Error) != echo || (!echo && p.What != icmp::Packet::Ignored))
        Fault("quoted: wrong kind");
    if (echo && (p.Identifier != BE16(Bytes + 4) || p.Sequence != BE16(Bytes + 6)))
        Fault("quoted: echo read wrongly");
}

void CheckRaw(const uint8_t* Bytes, size_t Length) {
    const icmp::Packet p = icmp::ParseRaw(Bytes, Length);
    const size_t ihl = IpHeader(Bytes, Length);
    if (ihl == 0 || Length - ihl < icmp::HeaderSize) {
        if (p.What != icmp::Packet::Ignored)
            Fault("raw: not an ICMP packet, yet not ignored");
        return;
    }
    // The header's total length counts only when it is possible.
    size_t end = BE16(Bytes + 2);
    if (end < ihl + icmp::HeaderSize || end > Length)
        end = Length;
    const uint8_t* icmpHeader = Bytes + ihl;
    uint32_t source;
    std::memcpy(&source, Bytes + 12, 4);
    if (icmpHeader[0] == icmp::TypeEchoReply && icmpHeader[1] == 0) {
        if (p.What != icmp::Packet::EchoReply)
            Fault("raw: echo reply not recognised");
        if (p.Source != source || p.Data != icmpHeader + icmp::HeaderSize ||
            p.Data + p.DataSize != Bytes + end || p.Identifier != BE16(icmpHeader + 4) ||
            p.Sequence != BE16(icmpHeader + 6))
            Fault("raw: echo reply read wrongly");
        return;
    }
    // An error counts only when it quotes an IPv4 header and the whole ICMP
    // header of an echo request, so the identifier is someone's for sure.
    const uint8_t* quoted = icmpHeader + icmp::HeaderSize;
    const size_t quotedLength = end - ihl - icmp::HeaderSize;
    const size_t innerIhl = IpHeader(quoted, quotedLength);
    const bool error = IsError(icmpHeader[0]) && innerIhl != 0 &&
                       quotedLength - innerIhl >= icmp::HeaderSize &&
                       quoted[innerIhl] == icmp::TypeEchoRequest;
    if (!error) {
        if (p.What != icmp::Packet::Ignored)
            Fault("raw: neither a reply nor an error about an echo, yet not ignored");
        return;
    }
    uint32_t destination;
    std::memcpy(&destination, quoted + 16, 4);
    if (p.What != icmp::Packet::Error || p.Type != icmpHeader[0] || p.Code != icmpHeader[1] ||
        p.Source != source || p.Destination != destination ||
        p.Identifier != BE16(quoted + innerIhl + 4) || p.Sequence != BE16(quoted + innerIhl + 6))
        Fault("raw: error read wrongly");
    CheckStatus(p);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    // A copy of exactly the packet's size, so a read past its end is caught.
    const std::vector<uint8_t> packet(Data, Data + Size);
    const uint8_t* bytes = packet.empty() ? nullptr : packet.data();
    CheckRaw(bytes, Size);
    CheckDatagram(bytes, Size);
    CheckQuoted(bytes, Size);
    return 0;
}
