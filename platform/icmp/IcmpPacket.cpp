#include "platform/icmp/IcmpPacket.h"

#include "platform/IcmpApi.h"

#include <cerrno>
#include <cstring>

namespace icmp {
namespace {

uint16_t ReadBE16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t ReadRaw32(const uint8_t* p) {
    uint32_t value;
    std::memcpy(&value, p, 4);
    return value;
}

constexpr size_t MinIpHeader = 20;
constexpr uint8_t ProtocolIcmp = 1;

// Length of a well-formed IPv4 header at Bytes carrying ICMP, or 0.
size_t IpHeaderLength(const uint8_t* Bytes, size_t Length) {
    if (Length < MinIpHeader || (Bytes[0] >> 4) != 4)
        return 0;
    const size_t ihl = static_cast<size_t>(Bytes[0] & 0x0f) * 4;
    if (ihl < MinIpHeader || ihl > Length || Bytes[9] != ProtocolIcmp)
        return 0;
    return ihl;
}

bool IsErrorType(uint8_t type) {
    // Redirects are advice, not failures: the echo may still be answered.
    return type == TypeDestUnreachable || type == TypeSourceQuench || type == TypeTimeExceeded ||
           type == TypeParamProblem;
}

// The quoted echo request inside an error: quoted IPv4 header and at least
// the 8 bytes of its ICMP header.
bool ReadQuoted(const uint8_t* Bytes, size_t Length, Packet& Out) {
    const size_t ihl = IpHeaderLength(Bytes, Length);
    if (ihl == 0 || Length - ihl < HeaderSize)
        return false;
    const uint8_t* inner = Bytes + ihl;
    if (inner[0] != TypeEchoRequest)
        return false;
    Out.Destination = ReadRaw32(Bytes + 16);
    Out.Identifier = ReadBE16(inner + 4);
    Out.Sequence = ReadBE16(inner + 6);
    return true;
}

} // namespace

uint16_t Checksum(const uint8_t* Data, size_t Length) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < Length; i += 2)
        sum += static_cast<uint32_t>((Data[i] << 8) | Data[i + 1]);
    if ((Length & 1) != 0)
        sum += static_cast<uint32_t>(Data[Length - 1] << 8);
    while ((sum >> 16) != 0)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

void BuildEchoRequest(uint8_t* Out, uint16_t Identifier, uint16_t Sequence, const void* Data,
                      size_t Length) {
    Out[0] = TypeEchoRequest;
    Out[1] = 0;
    Out[2] = Out[3] = 0;
    Out[4] = static_cast<uint8_t>(Identifier >> 8);
    Out[5] = static_cast<uint8_t>(Identifier);
    Out[6] = static_cast<uint8_t>(Sequence >> 8);
    Out[7] = static_cast<uint8_t>(Sequence);
    if (Length > 0)
        std::memcpy(Out + HeaderSize, Data, Length);
    const uint16_t sum = Checksum(Out, HeaderSize + Length);
    Out[2] = static_cast<uint8_t>(sum >> 8);
    Out[3] = static_cast<uint8_t>(sum);
}

Packet ParseDatagram(const uint8_t* Bytes, size_t Length, uint32_t Source) {
    Packet packet;
    if (Bytes == nullptr || Length < HeaderSize || Bytes[0] != TypeEchoReply || Bytes[1] != 0)
        return packet;
    packet.What = Packet::EchoReply;
    packet.Type = Bytes[0];
    packet.Code = Bytes[1];
    packet.Identifier = ReadBE16(Bytes + 4);
    packet.Sequence = ReadBE16(Bytes + 6);
    packet.Source = Source;
    packet.Data = Bytes + HeaderSize;
    packet.DataSize = Length - HeaderSize;
    return packet;
}

Packet ParseRaw(const uint8_t* Bytes, size_t Length) {
    Packet packet;
    if (Bytes == nullptr)
        return packet;
    const size_t ihl = IpHeaderLength(Bytes, Length);
    if (ihl == 0 || Length - ihl < HeaderSize)
        return packet;
    // Trust the smaller of what arrived and what the header claims.
    size_t total = ReadBE16(Bytes + 2);
    if (total < ihl + HeaderSize || total > Length)
        total = Length;
    const uint8_t* icmp = Bytes + ihl;
    const size_t icmpLength = total - ihl;
    const uint32_t source = ReadRaw32(Bytes + 12);
    if (icmp[0] == TypeEchoReply) {
        packet = ParseDatagram(icmp, icmpLength, source);
        return packet;
    }
    if (!IsErrorType(icmp[0]))
        return packet;
    Packet error;
    error.Type = icmp[0];
    error.Code = icmp[1];
    error.Source = source;
    if (!ReadQuoted(icmp + HeaderSize, icmpLength - HeaderSize, error))
        return packet;
    error.What = Packet::Error;
    return error;
}

Packet ParseQuotedEcho(const uint8_t* Bytes, size_t Length) {
    Packet packet;
    if (Bytes == nullptr || Length < HeaderSize || Bytes[0] != TypeEchoRequest)
        return packet;
    packet.What = Packet::Error;
    packet.Identifier = ReadBE16(Bytes + 4);
    packet.Sequence = ReadBE16(Bytes + 6);
    return packet;
}

// The one table from ICMP errors to IP status codes.
uint32_t StatusForError(uint8_t Type, uint8_t Code) {
    switch (Type) {
    case TypeDestUnreachable:
        switch (Code) {
        case 0:
            return IP_DEST_NET_UNREACHABLE; // net unreachable
        case 1:
            return IP_DEST_HOST_UNREACHABLE; // host unreachable
        case 2:
            return IP_DEST_PROT_UNREACHABLE; // protocol unreachable
        case 3:
            return IP_DEST_PORT_UNREACHABLE; // port unreachable
        case 4:
            return IP_PACKET_TOO_BIG; // fragmentation needed
        case 5:
            return IP_BAD_ROUTE; // source route failed
        case 6:                  // destination network unknown
        case 9:                  // network administratively prohibited
        case 11:                 // network unreachable for type of service
            return IP_DEST_NET_UNREACHABLE;
        default: // the rest speak of a host
            return IP_DEST_HOST_UNREACHABLE;
        }
    case TypeTimeExceeded:
        return Code == 1 ? IP_TTL_EXPIRED_REASSEM : IP_TTL_EXPIRED_TRANSIT;
    case TypeParamProblem:
        return IP_PARAM_PROBLEM;
    case TypeSourceQuench:
        return IP_SOURCE_QUENCH;
    default:
        return IP_DEST_HOST_UNREACHABLE;
    }
}

uint32_t StatusForSendError(int Errno) {
    switch (Errno) {
    case EHOSTUNREACH:
    case EACCES: // a local prohibit route: as the router's "administratively prohibited"
        return IP_DEST_HOST_UNREACHABLE;
    case ENETUNREACH:
        return IP_DEST_NET_UNREACHABLE;
    case EMSGSIZE:
        return IP_PACKET_TOO_BIG;
    case ENOBUFS:
    case ENOMEM:
        return IP_NO_RESOURCES;
    default:
        return static_cast<uint32_t>(Errno);
    }
}

void BuildEcho6Request(uint8_t* Out, uint16_t Identifier, uint16_t Sequence, const void* Data,
                       size_t Length) {
    BuildEchoRequest(Out, Identifier, Sequence, Data, Length);
    Out[0] = Type6EchoRequest;
    Out[2] = Out[3] = 0;
}

Packet6 ParseIcmp6(const uint8_t* Bytes, size_t Length) {
    Packet6 packet;
    if (Bytes == nullptr || Length < HeaderSize)
        return packet;
    if (Bytes[0] == Type6EchoReply) {
        if (Bytes[1] != 0)
            return packet;
        packet.What = Packet6::EchoReply;
        packet.Type = Bytes[0];
        packet.Identifier = ReadBE16(Bytes + 4);
        packet.Sequence = ReadBE16(Bytes + 6);
        packet.Data = Bytes + HeaderSize;
        packet.DataSize = Length - HeaderSize;
        return packet;
    }
    if (Bytes[0] < Type6DestUnreachable || Bytes[0] > Type6ParamProblem)
        return packet;
    // The quoted packet: a 40-byte IPv6 header whose next header is ICMPv6.
    constexpr size_t Ip6Header = 40;
    constexpr uint8_t NextIcmp6 = 58;
    const uint8_t* quoted = Bytes + HeaderSize;
    if (Length < HeaderSize + Ip6Header + HeaderSize || (quoted[0] >> 4) != 6 ||
        quoted[6] != NextIcmp6 || quoted[Ip6Header] != Type6EchoRequest)
        return packet;
    packet.What = Packet6::Error;
    packet.Type = Bytes[0];
    packet.Code = Bytes[1];
    std::memcpy(packet.Destination, quoted + 24, 16);
    packet.Identifier = ReadBE16(quoted + Ip6Header + 4);
    packet.Sequence = ReadBE16(quoted + Ip6Header + 6);
    return packet;
}

Packet6 ParseQuotedEcho6(const uint8_t* Bytes, size_t Length) {
    Packet6 packet;
    if (Bytes == nullptr || Length < HeaderSize || Bytes[0] != Type6EchoRequest)
        return packet;
    packet.What = Packet6::Error;
    packet.Identifier = ReadBE16(Bytes + 4);
    packet.Sequence = ReadBE16(Bytes + 6);
    return packet;
}

uint32_t StatusForError6(uint8_t Type, uint8_t Code) {
    switch (Type) {
    case Type6DestUnreachable:
        switch (Code) {
        case 0: // no route to destination
        case 2: // beyond scope of source address
            return IP_DEST_NET_UNREACHABLE;
        case 4: // port unreachable
            return IP_DEST_PORT_UNREACHABLE;
        case 7: // error in source routing header
            return IP_BAD_ROUTE;
        default: // 1 prohibited, 3 address, 5 source policy, 6 reject route, later ones
            // Not "protocol unreachable", which 11004 reads as here.
            return IP_DEST_HOST_UNREACHABLE;
        }
    case Type6PacketTooBig:
        return IP_PACKET_TOO_BIG;
    case Type6TimeExceeded:
        return Code == 1 ? IP_TTL_EXPIRED_REASSEM : IP_TTL_EXPIRED_TRANSIT;
    case Type6ParamProblem:
        return IP_PARAM_PROBLEM;
    default:
        return IP_DEST_HOST_UNREACHABLE;
    }
}

} // namespace icmp
