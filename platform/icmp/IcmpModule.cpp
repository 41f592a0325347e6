// The ICMP module of this system: IcmpCreateFile, IcmpSendEcho and
// IcmpCloseHandle over one ICMP socket per handle. An unprivileged datagram
// ICMP socket is used where the system allows it (net.ipv4.ping_group_range);
// otherwise a raw ICMP socket (root or CAP_NET_RAW) whose socket filter lets
// through only replies and errors that carry the handle's own identifier.

#include "platform/IcmpApi.h"
#include "platform/icmp/IcmpPacket.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace {

struct IcmpSocket {
    int Fd = -1;
    bool Raw = false;
    uint16_t Identifier = 0; // raw sockets only; the kernel picks it for datagram ones
    int Ttl = -1;            // time-to-live now set on the socket; -1: the system's default
    std::vector<uint8_t> Packet;  // the request being sent
    std::vector<uint8_t> Receive; // one received packet
};

// One sequence number per echo, across all handles of the process.
std::atomic<uint16_t> gSequence{0};
// Identifiers of raw handles: spread by process id so that two copies of the
// program rarely share one, then counted.
std::atomic<uint16_t> gNextIdentifier{static_cast<uint16_t>(getpid() * 2654435761u >> 16)};

using Clock = std::chrono::steady_clock;

// Accept echo replies with our identifier, and errors quoting an echo request
// with our identifier; drop everything else in the kernel.
bool AttachFilter(int fd, uint16_t id) {
    sock_filter code[] = {
        /* 0 */ BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0), // X = IP header length
        /* 1 */ BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),  // A = ICMP type
        /* 2 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, icmp::TypeEchoReply, 0, 2),
        /* 3 */ BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4), // A = identifier
        /* 4 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, id, 13, 14),
        /* 5 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, icmp::TypeDestUnreachable, 3, 0),
        /* 6 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, icmp::TypeSourceQuench, 2, 0),
        /* 7 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, icmp::TypeTimeExceeded, 1, 0),
        /* 8 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, icmp::TypeParamProblem, 0, 10),
        /* 9 */ BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8), // quoted IP version and length
        /* 10 */ BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0x0f),
        /* 11 */ BPF_STMT(BPF_ALU | BPF_LSH | BPF_K, 2),
        /* 12 */ BPF_STMT(BPF_ALU | BPF_ADD | BPF_X, 0),
        /* 13 */ BPF_STMT(BPF_MISC | BPF_TAX, 0),      // X = both header lengths
        /* 14 */ BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8), // quoted ICMP type
        /* 15 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, icmp::TypeEchoRequest, 0, 3),
        /* 16 */ BPF_STMT(BPF_LD | BPF_H | BPF_IND, 12), // quoted identifier
        /* 17 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, id, 0, 1),
        /* 18 */ BPF_STMT(BPF_RET | BPF_K, 0xffff), // accept
        /* 19 */ BPF_STMT(BPF_RET | BPF_K, 0),      // drop
    };
    sock_fprog program{static_cast<unsigned short>(sizeof(code) / sizeof(code[0])), code};
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof(program)) == 0;
}

int OpenDatagram() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0)
        return -1;
    const int on = 1;
    if (setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof(on)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int OpenRaw(uint16_t id) {
    const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0)
        return -1;
    if (!AttachFilter(fd, id)) {
        close(fd);
        return -1;
    }
    return fd;
}

uint32_t ElapsedMs(Clock::time_point since) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since);
    return static_cast<uint32_t>(ms.count());
}

// Empties a datagram socket's error queue and its pending error, so that an
// error about an earlier echo neither answers the next one nor fails its
// send. Such an error may arrive at any time, long after its echo gave up.
// True when an ICMP error was waiting.
bool DrainErrors(IcmpSocket& s) {
    uint8_t data[64];
    uint8_t control[256];
    bool icmpError = false;
    for (int i = 0; i < 64; ++i) {
        iovec iov{data, sizeof(data)};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        if (recvmsg(s.Fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
            break;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            sock_extended_err err;
            if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR)
                continue;
            std::memcpy(&err, CMSG_DATA(c), sizeof(err));
            icmpError = icmpError || err.ee_origin == SO_EE_ORIGIN_ICMP;
        }
    }
    // Reading the socket error clears it; the kernel would hand it to the next send.
    int pending = 0;
    socklen_t length = sizeof(pending);
    getsockopt(s.Fd, SOL_SOCKET, SO_ERROR, &pending, &length);
    return icmpError;
}

// Writes one reply record (and the echoed data after it) into the buffer.
uint32_t WriteReply(void* ReplyBuffer, uint32_t ReplySize, uint32_t Address, uint32_t Status,
                    uint32_t RoundTrip, const uint8_t* Data, size_t DataSize) {
    const size_t room = ReplySize - sizeof(ICMP_ECHO_REPLY);
    if (DataSize > room || DataSize > 0xffff) {
        errno = IP_BUF_TOO_SMALL;
        return 0;
    }
    auto* reply = static_cast<ICMP_ECHO_REPLY*>(ReplyBuffer);
    std::memset(reply, 0, sizeof(*reply));
    reply->Address = Address;
    reply->Status = Status;
    reply->RoundTripTime = RoundTrip;
    reply->DataSize = static_cast<uint16_t>(DataSize);
    reply->Data = static_cast<uint8_t*>(ReplyBuffer) + sizeof(ICMP_ECHO_REPLY);
    if (DataSize > 0)
        std::memcpy(reply->Data, Data, DataSize);
    errno = 0;
    return 1;
}

// One error from a datagram socket's error queue that answers this echo, if
// there is one; the queue is drained either way.
bool ReadQueuedError(IcmpSocket& s, uint16_t sequence, uint32_t destination, uint32_t& status,
                     uint32_t& offender) {
    bool found = false;
    for (int i = 0; i < 64; ++i) {
        uint8_t data[576];
        uint8_t control[512];
        sockaddr_in to{};
        iovec iov{data, sizeof(data)};
        msghdr msg{};
        msg.msg_name = &to;
        msg.msg_namelen = sizeof(to);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        const ssize_t n = recvmsg(s.Fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
        if (n < 0)
            break;
        if (found)
            continue;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR)
                continue;
            sock_extended_err err;
            std::memcpy(&err, CMSG_DATA(c), sizeof(err));
            if (err.ee_origin != SO_EE_ORIGIN_ICMP)
                continue;
            const icmp::Packet quoted =
                icmp::ParseQuotedEcho(data, static_cast<size_t>(n) <= sizeof(data) ? n : 0);
            if (quoted.What != icmp::Packet::Error || quoted.Sequence != sequence)
                continue;
            if (to.sin_addr.s_addr != 0 && to.sin_addr.s_addr != destination)
                continue;
            if (err.ee_type == icmp::TypeRedirect)
                continue;
            sockaddr_in from{};
            std::memcpy(&from, SO_EE_OFFENDER(reinterpret_cast<sock_extended_err*>(CMSG_DATA(c))),
                        sizeof(from));
            status = icmp::StatusForError(err.ee_type, err.ee_code);
            offender = from.sin_family == AF_INET ? from.sin_addr.s_addr : 0;
            found = true;
        }
    }
    return found;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) IcmpHandle IcmpCreateFile(void) {
    auto* s = new IcmpSocket;
    s->Fd = OpenDatagram();
    if (s->Fd < 0) {
        s->Raw = true;
        s->Identifier = gNextIdentifier.fetch_add(1);
        s->Fd = OpenRaw(s->Identifier);
    }
    if (s->Fd < 0) {
        const int saved = errno;
        delete s;
        errno = saved;
        return ICMP_INVALID_HANDLE;
    }
    return s;
}

__attribute__((visibility("default"))) int IcmpCloseHandle(IcmpHandle Handle) {
    if (Handle == nullptr || Handle == ICMP_INVALID_HANDLE) {
        errno = EBADF;
        return 0;
    }
    auto* s = static_cast<IcmpSocket*>(Handle);
    const int rc = close(s->Fd);
    delete s;
    return rc == 0 ? 1 : 0;
}

__attribute__((visibility("default"))) uint32_t
IcmpSendEcho(IcmpHandle Handle, uint32_t DestinationAddress, void* RequestData,
             uint16_t RequestSize, IP_OPTION_INFORMATION* RequestOptions, void* ReplyBuffer,
             uint32_t ReplySize, uint32_t Timeout) {
    if (Handle == nullptr || Handle == ICMP_INVALID_HANDLE) {
        errno = EBADF;
        return 0;
    }
    if (ReplyBuffer == nullptr || ReplySize < sizeof(ICMP_ECHO_REPLY) + 8) {
        errno = IP_BUF_TOO_SMALL;
        return 0;
    }
    if (RequestData == nullptr && RequestSize > 0) {
        errno = IP_BAD_REQ;
        return 0;
    }
    auto& s = *static_cast<IcmpSocket*>(Handle);

    // A time-to-live of 0 cannot leave the machine.
    const int ttl = RequestOptions != nullptr ? RequestOptions->Ttl : -1;
    if (ttl == 0) {
        errno = IP_BAD_OPTION;
        return 0;
    }
    if (ttl != s.Ttl) {
        if (setsockopt(s.Fd, IPPROTO_IP, IP_TTL, &ttl, sizeof(ttl)) != 0) {
            errno = IP_BAD_OPTION;
            return 0;
        }
        s.Ttl = ttl;
    }
    if (!s.Raw)
        DrainErrors(s);

    const uint16_t sequence = gSequence.fetch_add(1);
    s.Packet.resize(icmp::HeaderSize + RequestSize);
    icmp::BuildEchoRequest(s.Packet.data(), s.Identifier, sequence, RequestData, RequestSize);
    s.Receive.resize(std::max<size_t>(60 + icmp::HeaderSize + RequestSize + 64, 1024));

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = DestinationAddress;
    const auto sendRequest = [&] {
        return sendto(s.Fd, s.Packet.data(), s.Packet.size(), 0, reinterpret_cast<sockaddr*>(&to),
                      sizeof(to));
    };
    const auto started = Clock::now();
    ssize_t sent = sendRequest();
    int err = errno;
    // An earlier echo's error that came in just before the send fails it with
    // that error; once it is drained, a second try speaks for this echo.
    if (sent < 0 && !s.Raw && DrainErrors(s)) {
        sent = sendRequest();
        err = errno;
    }
    if (sent < 0) {
        if (!s.Raw)
            DrainErrors(s);
        errno = static_cast<int>(icmp::StatusForSendError(err));
        return 0;
    }

    const auto deadline = started + std::chrono::milliseconds(Timeout);
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline)
            break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        pollfd p{s.Fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (ready == 0)
            break;
        if (!s.Raw && (p.revents & POLLERR)) {
            uint32_t status = 0;
            uint32_t offender = 0;
            if (ReadQueuedError(s, sequence, DestinationAddress, status, offender))
                return WriteReply(ReplyBuffer, ReplySize, offender, status, ElapsedMs(started),
                                  nullptr, 0);
            continue;
        }
        if (!(p.revents & POLLIN))
            continue;
        sockaddr_in from{};
        socklen_t fromLength = sizeof(from);
        const ssize_t n = recvfrom(s.Fd, s.Receive.data(), s.Receive.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            // A pending socket error surfaces here; it is not this echo's answer.
            if (!s.Raw)
                DrainErrors(s);
            continue;
        }
        const auto length = static_cast<size_t>(n);
        const icmp::Packet packet =
            s.Raw ? icmp::ParseRaw(s.Receive.data(), length)
                  : icmp::ParseDatagram(s.Receive.data(), length, from.sin_addr.s_addr);
        if (packet.Sequence != sequence || (s.Raw && packet.Identifier != s.Identifier))
            continue;
        if (packet.What == icmp::Packet::EchoReply && packet.Source == DestinationAddress)
            return WriteReply(ReplyBuffer, ReplySize, packet.Source, IP_SUCCESS,
                              ElapsedMs(started), packet.Data, packet.DataSize);
        if (packet.What == icmp::Packet::Error && packet.Destination == DestinationAddress)
            return WriteReply(ReplyBuffer, ReplySize, packet.Source,
                              icmp::StatusForError(packet.Type, packet.Code), ElapsedMs(started),
                              nullptr, 0);
    }
    errno = IP_REQ_TIMED_OUT;
    return 0;
}

} // extern "C"
