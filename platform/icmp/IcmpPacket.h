#pragma once
// Building and reading ICMP packets, apart from any socket so that every
// branch can be fed hand-made bytes.

#include <cstddef>
#include <cstdint>

namespace icmp {

enum : uint8_t {
    TypeEchoReply = 0,
    TypeDestUnreachable = 3,
    TypeSourceQuench = 4,
    TypeRedirect = 5,
    TypeEchoRequest = 8,
    TypeTimeExceeded = 11,
    TypeParamProblem = 12,
};

constexpr size_t HeaderSize = 8;

// Internet checksum of Length bytes.
uint16_t Checksum(const uint8_t* Data, size_t Length);

// Writes an echo request (header and Length data bytes) into Out, which must
// hold HeaderSize + Length bytes. Identifier and Sequence are in host order.
void BuildEchoRequest(uint8_t* Out, uint16_t Identifier, uint16_t Sequence, const void* Data,
                      size_t Length);

// What one received packet says about the echo it may answer.
struct Packet {
    enum Kind { Ignored, EchoReply, Error } What = Ignored;
    uint8_t Type = 0;
    uint8_t Code = 0;
    uint16_t Identifier = 0;       // of the echo (quoted one for an error)
    uint16_t Sequence = 0;         // likewise
    uint32_t Source = 0;           // sender of the packet, network order (0 when unknown)
    uint32_t Destination = 0;      // for an error: the quoted echo's destination
    const uint8_t* Data = nullptr; // echo reply data
    size_t DataSize = 0;
};

// Reads a packet as a raw socket delivers it: IPv4 header (options allowed),
// then ICMP. Anything malformed, truncated or not about an echo is Ignored.
Packet ParseRaw(const uint8_t* Bytes, size_t Length);

// Reads an echo reply as a datagram ICMP socket delivers it: the ICMP header
// and data only. Source is given by the caller from the socket address.
Packet ParseDatagram(const uint8_t* Bytes, size_t Length, uint32_t Source);

// Reads the quoted ICMP header that a datagram socket's error queue returns
// with an error (the echo request it refers to).
Packet ParseQuotedEcho(const uint8_t* Bytes, size_t Length);

// The IP status code (11002..11016) for an ICMP error type and code.
uint32_t StatusForError(uint8_t Type, uint8_t Code);

// The IP status code for a failed local send, or the system error code
// itself when none is near.
uint32_t StatusForSendError(int Errno);

// ---- ICMPv6 ----
// Raw and datagram ICMPv6 sockets both deliver the ICMPv6 message without
// the IPv6 header, and the kernel writes the checksum of what is sent.

enum : uint8_t {
    Type6DestUnreachable = 1,
    Type6PacketTooBig = 2,
    Type6TimeExceeded = 3,
    Type6ParamProblem = 4,
    Type6EchoRequest = 128,
    Type6EchoReply = 129,
};

// Writes an ICMPv6 echo request (checksum left 0) into Out, which must hold
// HeaderSize + Length bytes.
void BuildEcho6Request(uint8_t* Out, uint16_t Identifier, uint16_t Sequence, const void* Data,
                       size_t Length);

struct Packet6 {
    enum Kind { Ignored, EchoReply, Error } What = Ignored;
    uint8_t Type = 0;
    uint8_t Code = 0;
    uint16_t Identifier = 0;       // of the echo (quoted one for an error)
    uint16_t Sequence = 0;         // likewise
    uint8_t Destination[16] = {};  // for an error: the quoted echo's destination
    const uint8_t* Data = nullptr; // echo reply data
    size_t DataSize = 0;
};

// Reads an ICMPv6 message: an echo reply, or an error quoting an echo request
// (its IPv6 header without extension headers, then at least the echo header).
Packet6 ParseIcmp6(const uint8_t* Bytes, size_t Length);

// Reads the quoted echo request that a datagram socket's error queue returns.
Packet6 ParseQuotedEcho6(const uint8_t* Bytes, size_t Length);

// The one table from ICMPv6 errors to IP status codes.
uint32_t StatusForError6(uint8_t Type, uint8_t Code);

} // namespace icmp
