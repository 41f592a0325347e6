#include "platform/icmp/IcmpPacket.h"

#include "platform/IcmpApi.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t value;
    std::memcpy(&value, bytes, 4);
    return value; // network order, as the module keeps addresses
}

const uint32_t Client = Address(10, 1, 0, 2);
const uint32_t Router = Address(10, 1, 0, 1);
const uint32_t Target = Address(10, 2, 0, 9);

void PutBE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

// An ICMP message; Rest is the second word (identifier and sequence of an
// echo, unused or pointer of an error).
Bytes Icmp(uint8_t type, uint8_t code, uint16_t id, uint16_t seq, const Bytes& payload) {
    Bytes out(8);
    out[0] = type;
    out[1] = code;
    PutBE16(&out[4], id);
    PutBE16(&out[6], seq);
    out.insert(out.end(), payload.begin(), payload.end());
    PutBE16(&out[2], icmp::Checksum(out.data(), out.size()));
    return out;
}

// An IPv4 datagram around Payload, with OptionWords words of NOP options.
Bytes Ip(uint32_t from, uint32_t to, const Bytes& payload, uint8_t protocol = 1,
         size_t optionWords = 0) {
    const size_t ihl = 20 + optionWords * 4;
    Bytes out(ihl, 0);
    out[0] = static_cast<uint8_t>(0x40 | (ihl / 4));
    PutBE16(&out[2], static_cast<uint16_t>(ihl + payload.size()));
    out[8] = 64;
    out[9] = protocol;
    std::memcpy(&out[12], &from, 4);
    std::memcpy(&out[16], &to, 4);
    for (size_t i = 20; i < ihl; ++i)
        out[i] = 1; // NOP
    PutBE16(&out[10], icmp::Checksum(out.data(), ihl));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes Data(size_t size) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<uint8_t>(0xa0 + i);
    return out;
}

// What a router quotes of our echo request: its IP header and first 8 bytes.
Bytes QuotedRequest(uint16_t id, uint16_t seq, uint32_t to = Target, size_t optionWords = 0) {
    Bytes request = Icmp(icmp::TypeEchoRequest, 0, id, seq, Data(32));
    request.resize(8);
    return Ip(Client, to, request, 1, optionWords);
}

icmp::Packet Parse(const Bytes& bytes) {
    return icmp::ParseRaw(bytes.data(), bytes.size());
}

// ---- checksum and request building ----

TEST(IcmpChecksum, MatchesTheWorkedExampleAndOddLengths) {
    // The classic worked example: the sum of these words folds to 0xddf2.
    const uint8_t words[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(icmp::Checksum(words, sizeof(words)), 0x220d);
    // An odd final byte counts as the high half of a word.
    const uint8_t odd[] = {0x12, 0x34, 0x56};
    EXPECT_EQ(icmp::Checksum(odd, sizeof(odd)), static_cast<uint16_t>(~(0x1234 + 0x5600)));
    // Carries out of the top are folded back in.
    const uint8_t carries[] = {0xff, 0xff, 0x00, 0x02};
    EXPECT_EQ(icmp::Checksum(carries, sizeof(carries)), static_cast<uint16_t>(~0x0002));
    EXPECT_EQ(icmp::Checksum(nullptr, 0), 0xffff);
}

TEST(IcmpEchoRequest, HasTheWireLayoutAndAValidChecksum) {
    for (const size_t size : {size_t{0}, size_t{1}, size_t{64}, size_t{1473}}) {
        const Bytes data = Data(size);
        Bytes out(icmp::HeaderSize + size, 0xee);
        icmp::BuildEchoRequest(out.data(), 0xbeef, 0x0102, size ? data.data() : nullptr, size);
        EXPECT_EQ(out[0], icmp::TypeEchoRequest);
        EXPECT_EQ(out[1], 0);
        EXPECT_EQ(out[4], 0xbe);
        EXPECT_EQ(out[5], 0xef);
        EXPECT_EQ(out[6], 0x01);
        EXPECT_EQ(out[7], 0x02);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin() + 8)) << size;
        // A packet carrying its own checksum sums to zero.
        EXPECT_EQ(icmp::Checksum(out.data(), out.size()), 0) << size;
    }
}

// ---- raw packets: echo replies ----

TEST(IcmpParseRaw, ReadsAnEchoReplyWithOrWithoutIpOptions) {
    for (const size_t optionWords : {size_t{0}, size_t{1}, size_t{10}}) {
        const Bytes packet = Ip(
            Target, Client, Icmp(icmp::TypeEchoReply, 0, 0x1234, 0x5678, Data(40)), 1, optionWords);
        const icmp::Packet p = Parse(packet);
        ASSERT_EQ(p.What, icmp::Packet::EchoReply) << optionWords;
        EXPECT_EQ(p.Identifier, 0x1234);
        EXPECT_EQ(p.Sequence, 0x5678);
        EXPECT_EQ(p.Source, Target);
        ASSERT_EQ(p.DataSize, 40u);
        EXPECT_EQ(p.Data, packet.data() + 20 + optionWords * 4 + 8);
        EXPECT_EQ(0, std::memcmp(p.Data, Data(40).data(), 40));
    }
}

TEST(IcmpParseRaw, TrustsTheShorterOfTotalLengthAndBuffer) {
    Bytes packet = Ip(Target, Client, Icmp(icmp::TypeEchoReply, 0, 1, 2, Data(40)));
    // Link padding after the datagram is not echoed data.
    Bytes padded = packet;
    padded.resize(packet.size() + 6, 0);
    EXPECT_EQ(Parse(padded).DataSize, 40u);
    // A header claiming more than arrived: only what arrived is data.
    Bytes claimsMore = packet;
    PutBE16(&claimsMore[2], static_cast<uint16_t>(packet.size() + 100));
    EXPECT_EQ(Parse(claimsMore).What, icmp::Packet::EchoReply);
    EXPECT_EQ(Parse(claimsMore).DataSize, 40u);
    // A header claiming less: the rest is not part of the reply.
    Bytes claimsLess = packet;
    PutBE16(&claimsLess[2], static_cast<uint16_t>(packet.size() - 10));
    EXPECT_EQ(Parse(claimsLess).DataSize, 30u);
}

TEST(IcmpParseRaw, IgnoresMalformedAndForeignDatagrams) {
    const Bytes reply = Ip(Target, Client, Icmp(icmp::TypeEchoReply, 0, 1, 2, Data(16)));
    ASSERT_EQ(Parse(reply).What, icmp::Packet::EchoReply);

    EXPECT_EQ(icmp::ParseRaw(nullptr, 100).What, icmp::Packet::Ignored);
    EXPECT_EQ(icmp::ParseRaw(reply.data(), 19).What, icmp::Packet::Ignored); // IP header cut
    EXPECT_EQ(icmp::ParseRaw(reply.data(), 27).What, icmp::Packet::Ignored); // ICMP header cut
    EXPECT_EQ(icmp::ParseRaw(reply.data(), 28).What, icmp::Packet::EchoReply);

    Bytes longHeader = reply; // header length beyond the buffer
    longHeader[0] = 0x4f;
    EXPECT_EQ(icmp::ParseRaw(longHeader.data(), 40).What, icmp::Packet::Ignored);
    Bytes shortHeader = reply; // header length below the minimum
    shortHeader[0] = 0x44;
    EXPECT_EQ(Parse(shortHeader).What, icmp::Packet::Ignored);
    Bytes version6 = reply;
    version6[0] = 0x65;
    EXPECT_EQ(Parse(version6).What, icmp::Packet::Ignored);
    Bytes udp = reply;
    udp[9] = 17;
    EXPECT_EQ(Parse(udp).What, icmp::Packet::Ignored);
    Bytes withCode = reply; // an echo reply has code 0
    withCode[21] = 1;
    EXPECT_EQ(Parse(withCode).What, icmp::Packet::Ignored);
}

TEST(IcmpParseRaw, IgnoresRequestsRedirectsAndOtherTypes) {
    // Our own request, seen by a raw socket on loopback.
    EXPECT_EQ(Parse(Ip(Client, Target, Icmp(icmp::TypeEchoRequest, 0, 1, 2, Data(8)))).What,
              icmp::Packet::Ignored);
    // A redirect is advice: the echo may still be answered.
    EXPECT_EQ(
        Parse(Ip(Router, Client, Icmp(icmp::TypeRedirect, 1, 0, 0, QuotedRequest(1, 2)))).What,
        icmp::Packet::Ignored);
    // Timestamp reply and router advertisement are not about echoes.
    EXPECT_EQ(Parse(Ip(Target, Client, Icmp(14, 0, 1, 2, Data(12)))).What, icmp::Packet::Ignored);
    EXPECT_EQ(Parse(Ip(Router, Client, Icmp(9, 0, 0, 0, QuotedRequest(1, 2)))).What,
              icmp::Packet::Ignored);
}

// ---- raw packets: errors ----

TEST(IcmpParseRaw, ReadsEveryErrorTypeQuotingAnEchoRequest) {
    struct Case {
        uint8_t Type, Code;
    };
    for (const Case c : {Case{3, 1}, Case{3, 13}, Case{4, 0}, Case{11, 0}, Case{11, 1}, Case{12, 0},
                         Case{12, 2}}) {
        // Options in both the outer and the quoted header shift every offset.
        for (const size_t optionWords : {size_t{0}, size_t{3}}) {
            const Bytes packet =
                Ip(Router, Client,
                   Icmp(c.Type, c.Code, 0, 0, QuotedRequest(0xabcd, 0x0203, Target, optionWords)),
                   1, optionWords);
            const icmp::Packet p = Parse(packet);
            ASSERT_EQ(p.What, icmp::Packet::Error) << int(c.Type) << "/" << int(c.Code);
            EXPECT_EQ(p.Type, c.Type);
            EXPECT_EQ(p.Code, c.Code);
            EXPECT_EQ(p.Identifier, 0xabcd);
            EXPECT_EQ(p.Sequence, 0x0203);
            EXPECT_EQ(p.Source, Router);
            EXPECT_EQ(p.Destination, Target);
            EXPECT_EQ(p.DataSize, 0u);
        }
    }
}

TEST(IcmpParseRaw, IgnoresErrorsNotQuotingAnEchoRequest) {
    const auto error = [](const Bytes& quoted) {
        return Parse(Ip(Router, Client, Icmp(3, 1, 0, 0, quoted)));
    };
    ASSERT_EQ(error(QuotedRequest(1, 2)).What, icmp::Packet::Error);

    // Someone else's UDP datagram.
    EXPECT_EQ(error(Ip(Client, Target, Data(8), 17)).What, icmp::Packet::Ignored);
    // An echo reply we sent (to someone pinging us), not a request.
    EXPECT_EQ(error(Ip(Client, Target, Icmp(icmp::TypeEchoReply, 0, 1, 2, {}))).What,
              icmp::Packet::Ignored);
    // Quoted ICMP header cut short, quoted IP header cut short.
    Bytes shortIcmp = QuotedRequest(1, 2);
    shortIcmp.resize(27);
    EXPECT_EQ(error(shortIcmp).What, icmp::Packet::Ignored);
    Bytes shortIp = QuotedRequest(1, 2);
    shortIp.resize(16);
    EXPECT_EQ(error(shortIp).What, icmp::Packet::Ignored);
    // Not IPv4 inside.
    Bytes version6 = QuotedRequest(1, 2);
    version6[0] = 0x65;
    EXPECT_EQ(error(version6).What, icmp::Packet::Ignored);
    // Nothing quoted at all.
    EXPECT_EQ(error({}).What, icmp::Packet::Ignored);
}

// ---- datagram sockets ----

TEST(IcmpParseDatagram, ReadsAnEchoReplyAndIgnoresTheRest) {
    const Bytes reply = Icmp(icmp::TypeEchoReply, 0, 0x0101, 0xfffe, Data(20));
    const icmp::Packet p = icmp::ParseDatagram(reply.data(), reply.size(), Target);
    ASSERT_EQ(p.What, icmp::Packet::EchoReply);
    EXPECT_EQ(p.Identifier, 0x0101);
    EXPECT_EQ(p.Sequence, 0xfffe);
    EXPECT_EQ(p.Source, Target);
    EXPECT_EQ(p.Data, reply.data() + 8);
    EXPECT_EQ(p.DataSize, 20u);

    const Bytes empty = Icmp(icmp::TypeEchoReply, 0, 1, 2, {});
    EXPECT_EQ(icmp::ParseDatagram(empty.data(), empty.size(), Target).DataSize, 0u);
    EXPECT_EQ(icmp::ParseDatagram(empty.data(), empty.size(), Target).What,
              icmp::Packet::EchoReply);

    EXPECT_EQ(icmp::ParseDatagram(reply.data(), 7, Target).What, icmp::Packet::Ignored);
    EXPECT_EQ(icmp::ParseDatagram(nullptr, 30, Target).What, icmp::Packet::Ignored);
    const Bytes request = Icmp(icmp::TypeEchoRequest, 0, 1, 2, Data(4));
    EXPECT_EQ(icmp::ParseDatagram(request.data(), request.size(), Target).What,
              icmp::Packet::Ignored);
    Bytes withCode = reply;
    withCode[1] = 3;
    EXPECT_EQ(icmp::ParseDatagram(withCode.data(), withCode.size(), Target).What,
              icmp::Packet::Ignored);
}

TEST(IcmpParseQuotedEcho, ReadsTheQuotedRequestOnly) {
    const Bytes request = Icmp(icmp::TypeEchoRequest, 0, 0x4242, 0x0007, Data(3));
    const icmp::Packet p = icmp::ParseQuotedEcho(request.data(), request.size());
    EXPECT_EQ(p.What, icmp::Packet::Error);
    EXPECT_EQ(p.Identifier, 0x4242);
    EXPECT_EQ(p.Sequence, 0x0007);
    // The error queue may hand back no more than the header.
    EXPECT_EQ(icmp::ParseQuotedEcho(request.data(), 8).What, icmp::Packet::Error);

    EXPECT_EQ(icmp::ParseQuotedEcho(request.data(), 7).What, icmp::Packet::Ignored);
    EXPECT_EQ(icmp::ParseQuotedEcho(nullptr, 8).What, icmp::Packet::Ignored);
    const Bytes reply = Icmp(icmp::TypeEchoReply, 0, 0x4242, 0x0007, {});
    EXPECT_EQ(icmp::ParseQuotedEcho(reply.data(), reply.size()).What, icmp::Packet::Ignored);
}

// ---- status codes ----

TEST(IcmpStatus, DestinationUnreachableCodes) {
    const uint32_t expected[16] = {
        IP_DEST_NET_UNREACHABLE,  // 0 net
        IP_DEST_HOST_UNREACHABLE, // 1 host
        IP_DEST_PROT_UNREACHABLE, // 2 protocol
        IP_DEST_PORT_UNREACHABLE, // 3 port
        IP_PACKET_TOO_BIG,        // 4 fragmentation needed
        IP_BAD_ROUTE,             // 5 source route failed
        IP_DEST_NET_UNREACHABLE,  // 6 network unknown
        IP_DEST_HOST_UNREACHABLE, // 7 host unknown
        IP_DEST_HOST_UNREACHABLE, // 8 source host isolated
        IP_DEST_NET_UNREACHABLE,  // 9 network prohibited
        IP_DEST_HOST_UNREACHABLE, // 10 host prohibited
        IP_DEST_NET_UNREACHABLE,  // 11 network unreachable for service
        IP_DEST_HOST_UNREACHABLE, // 12 host unreachable for service
        IP_DEST_HOST_UNREACHABLE, // 13 communication prohibited
        IP_DEST_HOST_UNREACHABLE, // 14 host precedence violation
        IP_DEST_HOST_UNREACHABLE, // 15 precedence cutoff
    };
    for (uint8_t code = 0; code < 16; ++code)
        EXPECT_EQ(icmp::StatusForError(icmp::TypeDestUnreachable, code), expected[code])
            << "code " << int(code);
}

TEST(IcmpStatus, OtherErrorTypes) {
    EXPECT_EQ(icmp::StatusForError(icmp::TypeTimeExceeded, 0), IP_TTL_EXPIRED_TRANSIT);
    EXPECT_EQ(icmp::StatusForError(icmp::TypeTimeExceeded, 1), IP_TTL_EXPIRED_REASSEM);
    EXPECT_EQ(icmp::StatusForError(icmp::TypeParamProblem, 0), IP_PARAM_PROBLEM);
    EXPECT_EQ(icmp::StatusForError(icmp::TypeParamProblem, 2), IP_PARAM_PROBLEM);
    EXPECT_EQ(icmp::StatusForError(icmp::TypeSourceQuench, 0), IP_SOURCE_QUENCH);
}

TEST(IcmpStatus, LocalSendErrors) {
    EXPECT_EQ(icmp::StatusForSendError(EHOSTUNREACH), IP_DEST_HOST_UNREACHABLE);
    EXPECT_EQ(icmp::StatusForSendError(EACCES), IP_DEST_HOST_UNREACHABLE); // prohibit route
    EXPECT_EQ(icmp::StatusForSendError(ENETUNREACH), IP_DEST_NET_UNREACHABLE);
    EXPECT_EQ(icmp::StatusForSendError(EMSGSIZE), IP_PACKET_TOO_BIG);
    EXPECT_EQ(icmp::StatusForSendError(ENOBUFS), IP_NO_RESOURCES);
    // Without a near status the system's own code is passed on.
    for (const int other : {EPERM, EINVAL, EBADF, ENOTCONN})
        EXPECT_EQ(icmp::StatusForSendError(other), static_cast<uint32_t>(other)) << other;
}

// ---- ICMPv6 ----

TEST(Icmp6Status, EveryTypeAndCode) {
    struct Case {
        uint8_t Type, Code;
        uint32_t Status;
    };
    const Case cases[] = {
        {1, 0, IP_DEST_NET_UNREACHABLE},  {1, 1, IP_DEST_HOST_UNREACHABLE},
        {1, 2, IP_DEST_NET_UNREACHABLE},  {1, 3, IP_DEST_HOST_UNREACHABLE},
        {1, 4, IP_DEST_PORT_UNREACHABLE}, {1, 5, IP_DEST_HOST_UNREACHABLE},
        {1, 6, IP_DEST_HOST_UNREACHABLE}, {1, 7, IP_BAD_ROUTE},
        {1, 8, IP_DEST_HOST_UNREACHABLE}, {2, 0, IP_PACKET_TOO_BIG},
        {3, 0, IP_TTL_EXPIRED_TRANSIT},   {3, 1, IP_TTL_EXPIRED_REASSEM},
        {4, 0, IP_PARAM_PROBLEM},         {4, 2, IP_PARAM_PROBLEM},
    };
    for (const Case& c : cases)
        EXPECT_EQ(icmp::StatusForError6(c.Type, c.Code), c.Status)
            << int(c.Type) << "/" << int(c.Code);
}

// An error quoting IPv6 header + echo request, as a raw ICMPv6 socket gets it.
Bytes Icmp6Error(uint8_t type, uint8_t code, uint8_t next, uint8_t quotedType) {
    Bytes b(8 + 40 + 8 + 4, 0);
    b[0] = type;
    b[1] = code;
    b[8] = 0x60;
    b[8 + 6] = next;
    b[8 + 24] = 0xfd; // quoted destination fd00::9
    b[8 + 39] = 9;
    b[48] = quotedType;
    PutBE16(&b[52], 0x1234);
    PutBE16(&b[54], 77);
    return b;
}

TEST(Icmp6Parse, ReadsRepliesAndErrorsQuotingAnEchoOnly) {
    Bytes request(8 + 5);
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    icmp::BuildEcho6Request(request.data(), 0x1234, 77, data, 5);
    EXPECT_EQ(request[0], 128);
    Bytes reply = request;
    reply[0] = 129;
    const icmp::Packet6 r = icmp::ParseIcmp6(reply.data(), reply.size());
    EXPECT_EQ(r.What, icmp::Packet6::EchoReply);
    EXPECT_EQ(r.Identifier, 0x1234);
    EXPECT_EQ(r.Sequence, 77);
    EXPECT_EQ(r.DataSize, 5u);

    const Bytes error = Icmp6Error(3, 0, 58, 128);
    const icmp::Packet6 e = icmp::ParseIcmp6(error.data(), error.size());
    EXPECT_EQ(e.What, icmp::Packet6::Error);
    EXPECT_EQ(e.Type, 3);
    EXPECT_EQ(e.Sequence, 77);
    EXPECT_EQ(e.Destination[0], 0xfd);
    EXPECT_EQ(e.Destination[15], 9);

    const Bytes ignored[] = {Icmp6Error(3, 0, 17, 128),
                             Icmp6Error(3, 0, 58, 129),
                             Icmp6Error(137, 0, 58, 128),
                             Bytes(error.begin(), error.end() - 8),
                             request,
                             Bytes(7, 129)};
    for (const Bytes& b : ignored)
        EXPECT_EQ(icmp::ParseIcmp6(b.data(), b.size()).What, icmp::Packet6::Ignored);
    EXPECT_EQ(icmp::ParseQuotedEcho6(request.data(), request.size()).Sequence, 77);
    EXPECT_EQ(icmp::ParseQuotedEcho6(reply.data(), reply.size()).What, icmp::Packet6::Ignored);
}

} // namespace
