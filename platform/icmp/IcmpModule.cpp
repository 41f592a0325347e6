// The ICMP module of this system: IcmpCreateFile, IcmpSendEcho,
// IcmpCancelEcho and IcmpCloseHandle over ICMP sockets. An unprivileged
// datagram ICMP socket per handle is used where the system allows it
// (net.ipv4.ping_group_range); otherwise raw ICMP (root or CAP_NET_RAW), where
// every handle of the process shares one raw socket whose reader thread hands
// each answer to the handle whose identifier and sequence it carries.
//
// ICMPv6 (Icmp6CreateFile, Icmp6SendEcho2) runs beside it the same way: a
// datagram socket per handle where allowed, else a raw ICMPv6 socket shared
// by the process's ICMPv6 handles, with a reader of its own.

#include "framework/Futex.h"
#include "platform/IcmpApi.h"
#include "platform/icmp/IcmpPacket.h"

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

class RawSocket;

struct IcmpSocket {
    int Fd = -1;          // datagram: the handle's own socket; raw: the shared one
    bool Raw = false;     // a handle of its family's shared raw socket
    int Family = AF_INET; // AF_INET6: an ICMPv6 handle
    bool Bound = false;   // ICMPv6 datagram: bound to Source6
    in6_addr Source6{};
    uint16_t Identifier = 0; // raw only; the kernel picks it for datagram sockets
    int Ttl = -1;            // own socket: time-to-live (hop limit) now set on it; -1: the default
    std::vector<uint8_t> Packet;  // the request being sent
    std::vector<uint8_t> Receive; // one received packet
    // Set by IcmpCancelEcho, for good; raw handles set it under Lock.
    std::atomic<bool> Cancelled{false};

    // Datagram only: echoes still to send before reading straight after the
    // send is tried again. A near host (loopback) has answered by the time
    // the send returns, so the read needs no poll; a far one has not, and the
    // read would be a call for nothing.
    uint8_t SkipReadFirst = 0;

    // Raw only: the echo this handle waits for, and the packet that answered
    // it, written under Lock by whichever thread drains the shared socket.
    // The sender sleeps on Answered (AnswerIn, EchoCancelled).
    std::mutex Lock;
    bool Waiting = false;
    uint16_t Sequence = 0;
    uint32_t Destination = 0;
    in6_addr Destination6{};
    sockaddr_in6 From6{}; // ICMPv6: who sent the answer
    size_t Received = 0;
    std::atomic<uint32_t> Answered{0};
    std::atomic<bool> Asleep{false};
    RawSocket* Shared = nullptr;
};

// Bits of IcmpSocket::Answered. A cancel changes the word the sender sleeps
// on, so that a sender about to sleep does not miss it.
constexpr uint32_t AnswerIn = 1;
constexpr uint32_t EchoCancelled = 2;

// What an echo that IcmpCancelEcho ended returns.
uint32_t CancelledEcho() {
    errno = ECANCELED;
    return 0;
}

// One sequence number per echo, across all handles of the process.
std::atomic<uint16_t> gSequence{0};
// Identifiers of raw handles: spread by process id so that two copies of the
// program rarely share one, then counted.
std::atomic<uint16_t> gNextIdentifier{static_cast<uint16_t>(getpid() * 2654435761u >> 16)};

using Clock = std::chrono::steady_clock;

// Refuses a new descriptor, and Later more that go with it, when they would
// leave fewer than IcmpDescriptorReserve under the limit: a program probing
// many devices must still be able to draw, save and say what went wrong. The
// kernel hands out the lowest free number, so every one below Fd is in use.
// Returns Fd, or -1 with errno EMFILE once Fd is closed.
int KeepReserve(int Fd, int Later = 0) {
    rlimit limit{};
    if (Fd < 0 || getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        static_cast<rlim_t>(Fd) + Later + IcmpDescriptorReserve < limit.rlim_cur)
        return Fd;
    close(Fd);
    errno = EMFILE;
    return -1;
}

int OpenDatagram() {
    const int fd = KeepReserve(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (fd < 0)
        return -1;
    const int on = 1;
    if (setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof(on)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Lets only echo replies and the errors that may quote an echo request
// reach a raw socket of Family.
int FilterRaw(int Fd, int Family) {
    if (Family == AF_INET6) {
        icmp6_filter filter;
        ICMP6_FILTER_SETBLOCKALL(&filter);
        for (const int type : {ICMP6_ECHO_REPLY, ICMP6_DST_UNREACH, ICMP6_PACKET_TOO_BIG,
                               ICMP6_TIME_EXCEEDED, ICMP6_PARAM_PROB})
            ICMP6_FILTER_SETPASS(type, &filter);
        return setsockopt(Fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof(filter));
    }
    icmp_filter filter{};
    filter.data =
        ~((1u << ICMP_ECHOREPLY) | (1u << ICMP_DEST_UNREACH) | (1u << ICMP_SOURCE_QUENCH) |
          (1u << ICMP_TIME_EXCEEDED) | (1u << ICMP_PARAMETERPROB));
    return setsockopt(Fd, SOL_RAW, ICMP_FILTER, &filter, sizeof(filter));
}

// A raw ICMP or ICMPv6 socket that keeps only what may answer an echo.
int OpenRaw(int Family) {
    // Opened once for all raw handles, with the reader's wake-up descriptor.
    const int protocol = Family == AF_INET6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP};
    const int fd = KeepReserve(socket(Family, SOCK_RAW | SOCK_CLOEXEC, protocol), 1);
    if (fd < 0)
        return -1;
    if (FilterRaw(fd, Family) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    // Every handle's answers queue here: room for a burst of thousands. The
    // forced size needs CAP_NET_ADMIN; the plain one is capped by the system.
    const int room = 8 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof(room)) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
    return fd;
}

bool Answers(const icmp::Packet& Packet, uint32_t Destination) {
    return (Packet.What == icmp::Packet::EchoReply && Packet.Source == Destination) ||
           (Packet.What == icmp::Packet::Error && Packet.Destination == Destination);
}

// The raw socket of the process, shared by all its raw handles. The kernel
// copies every ICMP packet to every raw ICMP socket before any filter of the
// socket runs, so a raw socket per handle would make each reply cost a copy
// per handle.
//
// Whoever sends an echo first reads what the socket holds and hands each
// answer to its handle; on a near network its own answer is often there
// already. Only a sender still without its answer sleeps, and only while one
// does the reader thread watch the socket; otherwise it sleeps too.
class RawSocket {
public:
    // Opens the socket and starts its reader; nullptr, with errno set, when
    // either cannot be had.
    static RawSocket* Open(int Family) {
        const int fd = OpenRaw(Family);
        if (fd < 0)
            return nullptr;
        const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake < 0) {
            const int saved = errno;
            close(fd);
            errno = saved;
            return nullptr;
        }
        auto* socket = new RawSocket(fd, wake, Family);
        try {
            socket->FReader = std::thread(&RawSocket::Read, socket);
        } catch (...) {
            delete socket;
            errno = EAGAIN;
            return nullptr;
        }
        return socket;
    }

    // Ends the reader, then closes the socket.
    ~RawSocket() {
        FState.fetch_or(Stopping);
        futex::Wake(FState, 1);
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(FWake, &one, sizeof(one));
        if (FReader.joinable())
            FReader.join();
        close(FWake);
        close(FFd);
    }

    int Fd() const { return FFd; }

    // Gives the handle an identifier no other handle of the socket has.
    bool Add(IcmpSocket& s) {
        std::unique_lock<std::shared_mutex> lock(FLock);
        if (FHandles.size() >= 0xffff) {
            errno = ENOBUFS;
            return false;
        }
        uint16_t id = gNextIdentifier.fetch_add(1);
        while (FHandles.contains(id))
            id = gNextIdentifier.fetch_add(1);
        s.Identifier = id;
        FHandles.emplace(id, &s);
        return true;
    }

    // True when it was the last handle.
    bool Remove(IcmpSocket& s) {
        std::unique_lock<std::shared_mutex> lock(FLock);
        FHandles.erase(s.Identifier);
        return FHandles.empty();
    }

    // Waits, after the echo of s went out, until its answer is handed over,
    // the echo is cancelled or Deadline passes.
    void AwaitAnswer(IcmpSocket& s, const timespec& Deadline) {
        // Whoever drains now hands this answer over if it is queued already;
        // a sender that finds the socket being drained sleeps rather than
        // spin for its turn, which on a busy machine cost more than the
        // wake-up (dozens of yields per echo at a thousand handles). Its
        // sleep counts below, so the reader watches for what comes later.
        if (s.Answered.load() == 0 && FDrainLock.try_lock()) {
            Drain();
            FDrainLock.unlock();
        }
        if (s.Answered.load() != 0)
            return;
        if (FState.fetch_add(1) == 0)
            futex::Wake(FState, 1);
        s.Asleep.store(true);
        while (s.Answered.load() == 0) {
            if (!futex::Wait(s.Answered, 0, &Deadline))
                break;
        }
        s.Asleep.store(false);
        FState.fetch_sub(1);
    }

private:
    static constexpr uint32_t Stopping = 1u << 31;

    // Packets read in one call; each has room for the largest an echo can bring.
    static constexpr size_t Batch = 16;
    static constexpr size_t PacketRoom = 65536;

    // The buffer is left uninitialised: only the pages that packets reach
    // become resident, a few kilobytes rather than a megabyte.
    RawSocket(int Fd, int Wake, int Family)
        : FFd(Fd), FWake(Wake), FFamily(Family), FBuffer(new uint8_t[Batch * PacketRoom]) {
        for (size_t i = 0; i < Batch; ++i) {
            FSlots[i] = {FBuffer.get() + i * PacketRoom, PacketRoom};
            FMessages[i].msg_hdr.msg_iov = &FSlots[i];
            FMessages[i].msg_hdr.msg_iovlen = 1;
            // An ICMPv6 packet comes without its IPv6 header: the sender
            // is in the address.
            if (Family == AF_INET6)
                FMessages[i].msg_hdr.msg_name = &FSenders[i];
        }
    }

    void Read() {
        // Signals are for the program's own threads.
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        for (;;) {
            uint32_t state;
            while ((state = FState.load()) == 0)
                futex::Wait(FState, 0, nullptr);
            if ((state & Stopping) != 0)
                return;
            pollfd p[2] = {{FFd, POLLIN, 0}, {FWake, POLLIN, 0}};
            if (poll(p, 2, -1) < 0 || p[1].revents != 0)
                continue; // EINTR, or the stop that the loop's head sees
            std::lock_guard<std::mutex> drain(FDrainLock);
            Drain();
        }
    }

    // Reads everything queued on the socket and hands each answer over; a
    // batch read short of full has emptied the queue, which saves the call
    // that would only say so. Callers hold FDrainLock, which also guards the
    // buffer.
    void Drain() {
        for (;;) {
            if (FFamily == AF_INET6)
                for (mmsghdr& m : FMessages)
                    m.msg_hdr.msg_namelen = sizeof(sockaddr_in6);
            const int n = recvmmsg(FFd, FMessages.data(), Batch, MSG_DONTWAIT, nullptr);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            for (int i = 0; i < n; ++i)
                if (FFamily == AF_INET6)
                    Deliver6(static_cast<const uint8_t*>(FSlots[i].iov_base), FMessages[i].msg_len,
                             FSenders[i]);
                else
                    Deliver(static_cast<const uint8_t*>(FSlots[i].iov_base), FMessages[i].msg_len);
            if (static_cast<size_t>(n) < Batch)
                return;
        }
    }

    void Deliver(const uint8_t* Bytes, size_t Length) {
        const icmp::Packet packet = icmp::ParseRaw(Bytes, Length);
        if (packet.What == icmp::Packet::Ignored)
            return;
        // The shared lock keeps the handle from being closed meanwhile.
        std::shared_lock<std::shared_mutex> lock(FLock);
        const auto found = FHandles.find(packet.Identifier);
        if (found == FHandles.end())
            return;
        IcmpSocket& s = *found->second;
        {
            std::lock_guard<std::mutex> own(s.Lock);
            if (!s.Waiting || s.Answered.load() != 0 || packet.Sequence != s.Sequence ||
                !Answers(packet, s.Destination) || Length > s.Receive.size())
                return;
            std::memcpy(s.Receive.data(), Bytes, Length);
            s.Received = Length;
            s.Answered.store(AnswerIn);
        }
        // A sender that reads its own answer is awake; the wake-up is for others.
        if (s.Asleep.load())
            futex::Wake(s.Answered, 1);
    }

    // Hands the ICMPv6 answer to its handle, as Deliver does for IPv4.
    void Deliver6(const uint8_t* Bytes, size_t Length, const sockaddr_in6& From) {
        const icmp::Packet6 packet = icmp::ParseIcmp6(Bytes, Length);
        if (packet.What == icmp::Packet6::Ignored)
            return;
        std::shared_lock<std::shared_mutex> lock(FLock);
        const auto found = FHandles.find(packet.Identifier);
        if (found == FHandles.end())
            return;
        IcmpSocket& s = *found->second;
        {
            std::lock_guard<std::mutex> own(s.Lock);
            const uint8_t* about = packet.What == icmp::Packet6::EchoReply ? From.sin6_addr.s6_addr
                                                                           : packet.Destination;
            if (!s.Waiting || s.Answered.load() != 0 || packet.Sequence != s.Sequence ||
                std::memcmp(about, s.Destination6.s6_addr, 16) != 0 || Length > s.Receive.size())
                return;
            std::memcpy(s.Receive.data(), Bytes, Length);
            s.Received = Length;
            s.From6 = From;
            s.Answered.store(AnswerIn);
        }
        if (s.Asleep.load())
            futex::Wake(s.Answered, 1);
    }

    const int FFd;
    const int FWake; // tells the reader to stop watching the socket
    const int FFamily;
    std::thread FReader;
    std::shared_mutex FLock; // the handles
    std::unordered_map<uint16_t, IcmpSocket*> FHandles;
    // Senders waiting for an answer that has not come, and the stop flag.
    std::atomic<uint32_t> FState{0};
    std::mutex FDrainLock;
    std::unique_ptr<uint8_t[]> FBuffer;
    std::array<iovec, Batch> FSlots{};
    std::array<mmsghdr, Batch> FMessages{};
    std::array<sockaddr_in6, Batch> FSenders{};
};

// Which raw socket new raw handles join: one at a time, opened for the first
// handle and closed with the last, so that no code of this module runs once
// every handle is closed.
class RawChannel {
public:
    explicit RawChannel(int Family) : FFamily(Family) {}

    // False, with errno set, when no raw socket can be had.
    bool Join(IcmpSocket& s) {
        std::lock_guard<std::mutex> lock(FLock);
        if (FCurrent == nullptr && (FCurrent = RawSocket::Open(FFamily)) == nullptr)
            return false;
        if (!FCurrent->Add(s))
            return false;
        s.Raw = true;
        s.Shared = FCurrent;
        s.Fd = FCurrent->Fd();
        return true;
    }

    void Leave(IcmpSocket& s) {
        RawSocket* last = nullptr;
        {
            std::lock_guard<std::mutex> lock(FLock);
            if (s.Shared->Remove(s)) {
                last = s.Shared;
                if (FCurrent == last)
                    FCurrent = nullptr;
            }
        }
        delete last;
    }

private:
    const int FFamily;
    std::mutex FLock;
    RawSocket* FCurrent = nullptr;
};

// One shared raw socket for each family.
RawChannel& Channel(int Family) {
    static RawChannel channel(AF_INET);
    static RawChannel channel6(AF_INET6);
    return Family == AF_INET6 ? channel6 : channel;
}

uint32_t ElapsedMs(Clock::time_point since) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since);
    return static_cast<uint32_t>(ms.count());
}

// Reading the socket error clears it; the kernel would hand it to the next send.
void ClearSocketError(IcmpSocket& s) {
    int pending = 0;
    socklen_t length = sizeof(pending);
    getsockopt(s.Fd, SOL_SOCKET, SO_ERROR, &pending, &length);
}

// Empties a datagram socket's error queue and its pending error. Such an
// error may arrive at any time, long after its echo gave up; when it fails
// the next send, this clears the way for a second try. True when an ICMP
// error was waiting.
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
            if (!(c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) &&
                !(c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR))
                continue;
            std::memcpy(&err, CMSG_DATA(c), sizeof(err));
            icmpError = icmpError || err.ee_origin == SO_EE_ORIGIN_ICMP ||
                        err.ee_origin == SO_EE_ORIGIN_ICMP6;
        }
    }
    ClearSocketError(s);
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

// Drains a datagram socket's error queue. Each queued error of Origin goes to
// Take with the bytes it quotes (at most DataSize), where the echo was sent and
// the extended error as the kernel laid it out (its offender follows it); Take
// says whether the error answers this echo. True when one did.
template <typename Address, size_t DataSize, typename TakeError>
bool DrainErrorQueue(int Fd, int Level, int Type, uint8_t Origin, TakeError&& Take) {
    bool found = false;
    for (int i = 0; i < 64; ++i) {
        uint8_t data[DataSize];
        uint8_t control[512];
        Address to{};
        iovec iov{data, sizeof(data)};
        msghdr msg{};
        msg.msg_name = &to;
        msg.msg_namelen = sizeof(to);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        const ssize_t n = recvmsg(Fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
        if (n < 0)
            break;
        if (found)
            continue;
        const size_t quoted = static_cast<size_t>(n) <= sizeof(data) ? static_cast<size_t>(n) : 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != Level || c->cmsg_type != Type)
                continue;
            const auto* raw = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(c));
            sock_extended_err err;
            std::memcpy(&err, raw, sizeof(err));
            if (err.ee_origin == Origin && Take(data, quoted, to, err, raw))
                found = true;
        }
    }
    return found;
}

// One error from a datagram socket's error queue that answers this echo, if
// there is one; the queue is drained either way.
bool ReadQueuedError(IcmpSocket& s, uint16_t sequence, uint32_t destination, uint32_t& status,
                     uint32_t& offender) {
    return DrainErrorQueue<sockaddr_in, 576>(
        s.Fd, IPPROTO_IP, IP_RECVERR, SO_EE_ORIGIN_ICMP,
        [&](const uint8_t* data, size_t size, const sockaddr_in& to, const sock_extended_err& err,
            const sock_extended_err* raw) {
            const icmp::Packet quoted = icmp::ParseQuotedEcho(data, size);
            if (quoted.What != icmp::Packet::Error || quoted.Sequence != sequence)
                return false;
            if (to.sin_addr.s_addr != 0 && to.sin_addr.s_addr != destination)
                return false;
            if (err.ee_type == icmp::TypeRedirect)
                return false;
            sockaddr_in from{};
            std::memcpy(&from, SO_EE_OFFENDER(raw), sizeof(from));
            status = icmp::StatusForError(err.ee_type, err.ee_code);
            offender = from.sin_family == AF_INET ? from.sin_addr.s_addr : 0;
            return true;
        });
}

// What one read of a datagram socket found.
enum class Read { Answer, Empty, Other };

// Reads one packet off a datagram socket; with Answer, the reply to this echo
// is written and Written holds what the module returns.
Read ReadAnswer(IcmpSocket& s, uint16_t Sequence, uint32_t DestinationAddress,
                Clock::time_point Started, void* ReplyBuffer, uint32_t ReplySize,
                uint32_t& Written) {
    sockaddr_in from{};
    socklen_t fromLength = sizeof(from);
    const ssize_t n = recvfrom(s.Fd, s.Receive.data(), s.Receive.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
    // A pending socket error surfaces here, and the read clears it; the
    // queued error behind it, perhaps this echo's answer, is left to the poll.
    if (n < 0)
        return errno == EAGAIN ? Read::Empty : Read::Other;
    const icmp::Packet packet =
        icmp::ParseDatagram(s.Receive.data(), static_cast<size_t>(n), from.sin_addr.s_addr);
    if (packet.Sequence != Sequence || !Answers(packet, DestinationAddress))
        return Read::Other;
    if (packet.What == icmp::Packet::EchoReply)
        Written = WriteReply(ReplyBuffer, ReplySize, packet.Source, IP_SUCCESS, ElapsedMs(Started),
                             packet.Data, packet.DataSize);
    else
        Written = WriteReply(ReplyBuffer, ReplySize, packet.Source,
                             icmp::StatusForError(packet.Type, packet.Code), ElapsedMs(Started),
                             nullptr, 0);
    return Read::Answer;
}

// Echoes to wait out before reading straight after the send again, once such
// a read found nothing.
constexpr uint8_t ReadFirstBackoff = 15;

// Tries the read straight after the send, unless such reads have come up
// empty lately. True when it answered the echo.
template <class ReadOnce> bool ReadFirst(IcmpSocket& s, ReadOnce&& Try) {
    if (s.SkipReadFirst > 0) {
        --s.SkipReadFirst;
        return false;
    }
    const Read first = Try();
    if (first == Read::Empty)
        s.SkipReadFirst = ReadFirstBackoff;
    return first == Read::Answer;
}

enum class Waited { Answered, TimedOut, Cancelled };

// Waits on a handle's own socket until OnReady, given what the poll saw, says
// the echo is answered, Deadline passes or the echo is cancelled.
template <class OnReady>
Waited AwaitOwnSocket(IcmpSocket& s, Clock::time_point Deadline, OnReady&& Ready) {
    for (;;) {
        const auto now = Clock::now();
        if (now >= Deadline)
            return Waited::TimedOut;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - now).count();
        pollfd p{s.Fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
        // The cancel's shutdown leaves the socket readable for good.
        if (s.Cancelled.load())
            return Waited::Cancelled;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return Waited::TimedOut;
        if (Ready(p.revents))
            return Waited::Answered;
    }
}

// What an echo over a handle's own socket returns once the wait is over;
// Written is read only after the wait that sets it.
uint32_t Finish(Waited How, uint32_t Written) {
    switch (How) {
    case Waited::Answered:
        return Written;
    case Waited::Cancelled:
        return CancelledEcho();
    case Waited::TimedOut:
        break;
    }
    errno = IP_REQ_TIMED_OUT;
    return 0;
}

// Sets the time-to-live or hop limit of a handle's own socket, when it
// differs from the one set; -1 gives the system's default back.
bool SetHops(IcmpSocket& s, int Level, int Option, int Ttl) {
    if (Ttl == s.Ttl)
        return true;
    if (setsockopt(s.Fd, Level, Option, &Ttl, sizeof(Ttl)) != 0)
        return false;
    s.Ttl = Ttl;
    return true;
}

// One echo over a handle's own datagram socket. Errors about earlier echoes
// are not drained before the send, which would cost two calls every echo:
// each quotes its echo's sequence number, so the wait below passes over it,
// and one that fails the send is drained before a second try.
uint32_t DatagramEcho(IcmpSocket& s, uint32_t DestinationAddress, const void* RequestData,
                      uint16_t RequestSize, int Ttl, void* ReplyBuffer, uint32_t ReplySize,
                      uint32_t Timeout) {
    if (!SetHops(s, IPPROTO_IP, IP_TTL, Ttl)) {
        errno = IP_BAD_OPTION;
        return 0;
    }
    if (s.Cancelled.load())
        return CancelledEcho();

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
    if (sent < 0 && DrainErrors(s)) {
        sent = sendRequest();
        err = errno;
    }
    if (sent < 0) {
        DrainErrors(s);
        errno = static_cast<int>(icmp::StatusForSendError(err));
        return 0;
    }

    uint32_t written = 0;
    const auto read = [&] {
        return ReadAnswer(s, sequence, DestinationAddress, started, ReplyBuffer, ReplySize,
                          written);
    };
    if (ReadFirst(s, read))
        return written;
    const auto deadline = started + std::chrono::milliseconds(Timeout);
    const auto ready = [&](short Events) {
        if ((Events & POLLERR) != 0) {
            uint32_t status = 0;
            uint32_t offender = 0;
            if (ReadQueuedError(s, sequence, DestinationAddress, status, offender)) {
                written = WriteReply(ReplyBuffer, ReplySize, offender, status, ElapsedMs(started),
                                     nullptr, 0);
                return true;
            }
            // An error the kernel could not queue leaves only the socket
            // error, which would keep the poll ready.
            ClearSocketError(s);
            return false;
        }
        return (Events & POLLIN) != 0 && read() == Read::Answer;
    };
    const Waited how = AwaitOwnSocket(s, deadline, ready);
    return Finish(how, written);
}

// An echo over a shared raw socket, the same for both families: Register
// notes what the answer must match, Send sends the request (false with errno
// set), and Answer writes the reply record from the Received bytes that the
// reader thread handed over.
template <class RegisterFn, class SendFn, class AnswerFn>
uint32_t SharedRawEcho(IcmpSocket& s, uint16_t Sequence, size_t Room, uint32_t Timeout,
                       RegisterFn&& Register, SendFn&& Send, AnswerFn&& Answer) {
    bool cancelled;
    {
        // Checked under the lock that the cancel takes, so that a cancel is
        // either seen here or marks the echo that is starting.
        std::lock_guard<std::mutex> lock(s.Lock);
        cancelled = s.Cancelled.load();
        s.Waiting = !cancelled;
        if (!cancelled) {
            s.Receive.resize(Room);
            s.Sequence = Sequence;
            Register();
            s.Received = 0;
            s.Answered.store(0);
        }
    }
    if (cancelled)
        return CancelledEcho();
    const auto started = Clock::now();
    const timespec deadline = futex::MonotonicAfter(std::chrono::milliseconds(Timeout));
    const bool sent = Send();
    const int err = errno;
    if (sent)
        s.Shared->AwaitAnswer(s, deadline);
    uint32_t answered;
    size_t received;
    {
        std::lock_guard<std::mutex> lock(s.Lock);
        s.Waiting = false;
        answered = s.Answered.load();
        received = s.Received;
    }
    if (!sent) {
        errno = static_cast<int>(icmp::StatusForSendError(err));
        return 0;
    }
    if ((answered & AnswerIn) == 0 && (answered & EchoCancelled) != 0)
        return CancelledEcho();
    if ((answered & AnswerIn) == 0) {
        errno = IP_REQ_TIMED_OUT;
        return 0;
    }
    return Answer(received, ElapsedMs(started));
}

// One echo over the shared raw socket: the reader thread hands over the
// answer; the time-to-live goes with the packet, since the socket is shared.
uint32_t RawEcho(IcmpSocket& s, uint32_t DestinationAddress, const void* RequestData,
                 uint16_t RequestSize, int Ttl, void* ReplyBuffer, uint32_t ReplySize,
                 uint32_t Timeout) {
    const uint16_t sequence = gSequence.fetch_add(1);
    s.Packet.resize(icmp::HeaderSize + RequestSize);
    icmp::BuildEchoRequest(s.Packet.data(), s.Identifier, sequence, RequestData, RequestSize);
    const auto send = [&] {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = DestinationAddress;
        iovec iov{s.Packet.data(), s.Packet.size()};
        msghdr message{};
        message.msg_name = &to;
        message.msg_namelen = sizeof(to);
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))] = {};
        if (Ttl > 0) {
            message.msg_control = control;
            message.msg_controllen = sizeof(control);
            cmsghdr* c = CMSG_FIRSTHDR(&message);
            c->cmsg_level = IPPROTO_IP;
            c->cmsg_type = IP_TTL;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &Ttl, sizeof(int));
        }
        return sendmsg(s.Fd, &message, 0) >= 0;
    };
    const auto answer = [&](size_t Received, uint32_t RoundTrip) {
        const icmp::Packet packet = icmp::ParseRaw(s.Receive.data(), Received);
        if (packet.What == icmp::Packet::EchoReply)
            return WriteReply(ReplyBuffer, ReplySize, packet.Source, IP_SUCCESS, RoundTrip,
                              packet.Data, packet.DataSize);
        return WriteReply(ReplyBuffer, ReplySize, packet.Source,
                          icmp::StatusForError(packet.Type, packet.Code), RoundTrip, nullptr, 0);
    };
    return SharedRawEcho(
        s, sequence, std::max<size_t>(60 + icmp::HeaderSize + RequestSize + 64, 1024), Timeout,
        [&] { s.Destination = DestinationAddress; }, send, answer);
}

// ---- ICMPv6 ----

// A datagram ICMPv6 socket of the handle's own, which reports errors
// through its error queue.
int OpenDatagram6() {
    const int fd = KeepReserve(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMPV6));
    if (fd < 0)
        return -1;
    const int on = 1;
    if (setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof(on)) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

bool SameAddress(const in6_addr& A, const uint8_t* B) {
    return std::memcmp(A.s6_addr, B, 16) == 0;
}

// Writes one ICMPv6 reply record (and the echoed data after it).
uint32_t WriteReply6(void* ReplyBuffer, uint32_t ReplySize, const sockaddr_in6& From,
                     uint32_t Status, uint32_t RoundTrip, const uint8_t* Data, size_t DataSize) {
    if (DataSize > ReplySize - sizeof(ICMPV6_ECHO_REPLY) || DataSize > 0xffff) {
        errno = IP_BUF_TOO_SMALL;
        return 0;
    }
    auto* reply = static_cast<ICMPV6_ECHO_REPLY*>(ReplyBuffer);
    std::memset(reply, 0, sizeof(*reply));
    if (From.sin6_family == AF_INET6) {
        reply->Address.sin6_flowinfo = From.sin6_flowinfo;
        std::memcpy(reply->Address.sin6_addr, From.sin6_addr.s6_addr, 16);
        reply->Address.sin6_scope_id = From.sin6_scope_id;
    }
    reply->Status = Status;
    reply->RoundTripTime = RoundTrip;
    reply->DataSize = static_cast<uint16_t>(DataSize);
    if (DataSize > 0)
        std::memcpy(reply + 1, Data, DataSize);
    errno = 0;
    return 1;
}

// The error from a datagram socket's error queue that answers this echo, if
// there is one; the queue is drained either way.
bool ReadQueuedError6(IcmpSocket& s, uint16_t Sequence, const in6_addr& Destination,
                      uint32_t& Status, sockaddr_in6& Offender) {
    return DrainErrorQueue<sockaddr_in6, 64>(
        s.Fd, IPPROTO_IPV6, IPV6_RECVERR, SO_EE_ORIGIN_ICMP6,
        [&](const uint8_t* data, size_t size, const sockaddr_in6& to, const sock_extended_err& err,
            const sock_extended_err* raw) {
            const icmp::Packet6 quoted = icmp::ParseQuotedEcho6(data, size);
            if (quoted.What != icmp::Packet6::Error || quoted.Sequence != Sequence ||
                (to.sin6_family == AF_INET6 && !SameAddress(Destination, to.sin6_addr.s6_addr)))
                return false;
            std::memcpy(&Offender, SO_EE_OFFENDER(raw), sizeof(Offender));
            Status = icmp::StatusForError6(err.ee_type, err.ee_code);
            return true;
        });
}

// Reads one packet off a handle's datagram ICMPv6 socket; with Answer, the
// reply to this echo is written and Written holds what the module returns.
Read ReadAnswer6(IcmpSocket& s, uint16_t Sequence, const sockaddr_in6& To,
                 Clock::time_point Started, void* ReplyBuffer, uint32_t ReplySize,
                 uint32_t& Written) {
    sockaddr_in6 from{};
    socklen_t fromLength = sizeof(from);
    const ssize_t n = recvfrom(s.Fd, s.Receive.data(), s.Receive.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0)
        return errno == EAGAIN ? Read::Empty : Read::Other;
    const icmp::Packet6 packet = icmp::ParseIcmp6(s.Receive.data(), static_cast<size_t>(n));
    // The replies carry the identifier the kernel chose.
    if (packet.What == icmp::Packet6::Ignored || packet.Sequence != Sequence)
        return Read::Other;
    if (packet.What == icmp::Packet6::EchoReply) {
        if (!SameAddress(To.sin6_addr, from.sin6_addr.s6_addr))
            return Read::Other;
        Written = WriteReply6(ReplyBuffer, ReplySize, from, IP_SUCCESS, ElapsedMs(Started),
                              packet.Data, packet.DataSize);
        return Read::Answer;
    }
    if (!SameAddress(To.sin6_addr, packet.Destination))
        return Read::Other;
    Written =
        WriteReply6(ReplyBuffer, ReplySize, from, icmp::StatusForError6(packet.Type, packet.Code),
                    ElapsedMs(Started), nullptr, 0);
    return Read::Answer;
}

bool Unspecified(const in6_addr& A) {
    return IN6_IS_ADDR_UNSPECIFIED(&A);
}

// Puts a socket bound to Source, when given, in place of the handle's
// datagram socket, under the same descriptor. A datagram socket that has sent
// is bound already, to the identifier the kernel chose for it, and older
// kernels take no source with each packet.
bool UseSource(IcmpSocket& s, const sockaddr_in6* Source) {
    if (Source == nullptr || Unspecified(Source->sin6_addr) ||
        (s.Bound && std::memcmp(&s.Source6, &Source->sin6_addr, sizeof(in6_addr)) == 0))
        return true;
    const int fd = OpenDatagram6();
    if (fd < 0)
        return false;
    sockaddr_in6 from = *Source;
    from.sin6_port = 0;
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof(from)) == 0 &&
                       dup3(fd, s.Fd, O_CLOEXEC) >= 0;
    close(fd);
    if (!bound)
        return false;
    s.Bound = true;
    s.Source6 = Source->sin6_addr;
    s.Ttl = -1; // the new socket has the default hop limit
    return true;
}

// One ICMPv6 echo over the handle's own datagram socket, as DatagramEcho.
uint32_t DatagramEcho6(IcmpSocket& s, const sockaddr_in6* Source, const sockaddr_in6& Destination,
                       const void* RequestData, uint16_t RequestSize, int Hops, void* ReplyBuffer,
                       uint32_t ReplySize, uint32_t Timeout) {
    if (!UseSource(s, Source)) {
        errno = IP_BAD_REQ;
        return 0;
    }
    if (!SetHops(s, IPPROTO_IPV6, IPV6_UNICAST_HOPS, Hops)) {
        errno = IP_BAD_OPTION;
        return 0;
    }
    if (s.Cancelled.load())
        return CancelledEcho();

    const uint16_t sequence = gSequence.fetch_add(1);
    s.Packet.resize(icmp::HeaderSize + RequestSize);
    icmp::BuildEcho6Request(s.Packet.data(), s.Identifier, sequence, RequestData, RequestSize);
    // Room for an error quoting the whole request: its header, the quoted
    // IPv6 header and the request.
    s.Receive.resize(std::max<size_t>(2 * icmp::HeaderSize + 40 + RequestSize + 64, 1280));

    sockaddr_in6 to = Destination;
    to.sin6_port = 0;
    const auto sendRequest = [&] {
        return sendto(s.Fd, s.Packet.data(), s.Packet.size(), 0, reinterpret_cast<sockaddr*>(&to),
                      sizeof(to));
    };
    const auto started = Clock::now();
    ssize_t sent = sendRequest();
    int err = errno;
    if (sent < 0 && DrainErrors(s)) {
        sent = sendRequest();
        err = errno;
    }
    if (sent < 0) {
        DrainErrors(s);
        errno = static_cast<int>(icmp::StatusForSendError(err));
        return 0;
    }

    uint32_t written = 0;
    const auto read = [&] {
        return ReadAnswer6(s, sequence, to, started, ReplyBuffer, ReplySize, written);
    };
    if (ReadFirst(s, read))
        return written;
    const auto ready = [&](short Events) {
        if ((Events & POLLERR) != 0) {
            uint32_t status = 0;
            sockaddr_in6 offender{};
            if (ReadQueuedError6(s, sequence, to.sin6_addr, status, offender)) {
                written = WriteReply6(ReplyBuffer, ReplySize, offender, status, ElapsedMs(started),
                                      nullptr, 0);
                return true;
            }
            ClearSocketError(s);
            return false;
        }
        return (Events & POLLIN) != 0 && read() == Read::Answer;
    };
    const Waited how = AwaitOwnSocket(s, started + std::chrono::milliseconds(Timeout), ready);
    return Finish(how, written);
}

// One ICMPv6 echo over the shared raw socket, as RawEcho; the hop limit and
// the source go with the packet.
uint32_t RawEcho6(IcmpSocket& s, const sockaddr_in6* Source, const sockaddr_in6& Destination,
                  const void* RequestData, uint16_t RequestSize, int Hops, void* ReplyBuffer,
                  uint32_t ReplySize, uint32_t Timeout) {
    const uint16_t sequence = gSequence.fetch_add(1);
    s.Packet.resize(icmp::HeaderSize + RequestSize);
    icmp::BuildEcho6Request(s.Packet.data(), s.Identifier, sequence, RequestData, RequestSize);
    const auto send = [&] {
        sockaddr_in6 to = Destination;
        to.sin6_port = 0;
        iovec iov{s.Packet.data(), s.Packet.size()};
        msghdr message{};
        message.msg_name = &to;
        message.msg_namelen = sizeof(to);
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        alignas(cmsghdr) unsigned char
            control[CMSG_SPACE(sizeof(int)) + CMSG_SPACE(sizeof(in6_pktinfo))] = {};
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        size_t used = 0;
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        if (Hops > 0) {
            c->cmsg_level = IPPROTO_IPV6;
            c->cmsg_type = IPV6_HOPLIMIT;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &Hops, sizeof(int));
            used += CMSG_SPACE(sizeof(int));
            c = CMSG_NXTHDR(&message, c);
        }
        if (Source != nullptr && !Unspecified(Source->sin6_addr)) {
            in6_pktinfo info{};
            info.ipi6_addr = Source->sin6_addr;
            info.ipi6_ifindex = Source->sin6_scope_id;
            c->cmsg_level = IPPROTO_IPV6;
            c->cmsg_type = IPV6_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof(info));
            std::memcpy(CMSG_DATA(c), &info, sizeof(info));
            used += CMSG_SPACE(sizeof(info));
        }
        message.msg_controllen = used;
        if (used == 0)
            message.msg_control = nullptr;
        return sendmsg(s.Fd, &message, 0) >= 0;
    };
    const auto answer = [&](size_t Received, uint32_t RoundTrip) {
        const icmp::Packet6 packet = icmp::ParseIcmp6(s.Receive.data(), Received);
        if (packet.What == icmp::Packet6::EchoReply)
            return WriteReply6(ReplyBuffer, ReplySize, s.From6, IP_SUCCESS, RoundTrip, packet.Data,
                               packet.DataSize);
        return WriteReply6(ReplyBuffer, ReplySize, s.From6,
                           icmp::StatusForError6(packet.Type, packet.Code), RoundTrip, nullptr, 0);
    };
    // Room for an error quoting the whole request: its header, the quoted
    // IPv6 header and the request.
    return SharedRawEcho(
        s, sequence, std::max<size_t>(2 * icmp::HeaderSize + 40 + RequestSize + 64, 1280), Timeout,
        [&] { s.Destination6 = Destination.sin6_addr; }, send, answer);
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) IcmpHandle IcmpCreateFile(void) {
    auto* s = new IcmpSocket;
    s->Fd = OpenDatagram();
    if (s->Fd >= 0)
        return s;
    // A datagram socket that the system allows is created before it wants a
    // descriptor: running out of them is then the reason to report, whatever
    // the raw socket says.
    const int datagramError = errno;
    if (Channel(AF_INET).Join(*s))
        return s;
    const int rawError = errno;
    delete s;
    errno = datagramError == EMFILE || datagramError == ENFILE ? datagramError : rawError;
    return ICMP_INVALID_HANDLE;
}

__attribute__((visibility("default"))) int IcmpCloseHandle(IcmpHandle Handle) {
    if (Handle == nullptr || Handle == ICMP_INVALID_HANDLE) {
        errno = EBADF;
        return 0;
    }
    auto* s = static_cast<IcmpSocket*>(Handle);
    bool closed = true;
    if (s->Raw)
        Channel(s->Family).Leave(*s);
    else
        closed = close(s->Fd) == 0;
    delete s;
    return closed ? 1 : 0;
}

// Wakes the handle's sender wherever it waits: a datagram socket's poll
// through shutdown, a raw handle's sleep on Answered through the futex.
__attribute__((visibility("default"))) int IcmpCancelEcho(IcmpHandle Handle) {
    if (Handle == nullptr || Handle == ICMP_INVALID_HANDLE) {
        errno = EBADF;
        return 0;
    }
    auto& s = *static_cast<IcmpSocket*>(Handle);
    if (!s.Raw) {
        s.Cancelled.store(true);
        // Unconnected, it says ENOTCONN, yet marks the socket and wakes its poll.
        shutdown(s.Fd, SHUT_RD);
        return 1;
    }
    {
        std::lock_guard<std::mutex> lock(s.Lock);
        s.Cancelled.store(true);
        s.Answered.fetch_or(EchoCancelled);
    }
    futex::Wake(s.Answered, 1);
    return 1;
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
    if (s.Family != AF_INET) {
        errno = IP_BAD_REQ;
        return 0;
    }
    // A time-to-live of 0 cannot leave the machine.
    const int ttl = RequestOptions != nullptr ? RequestOptions->Ttl : -1;
    if (ttl == 0) {
        errno = IP_BAD_OPTION;
        return 0;
    }
    return s.Raw ? RawEcho(s, DestinationAddress, RequestData, RequestSize, ttl, ReplyBuffer,
                           ReplySize, Timeout)
                 : DatagramEcho(s, DestinationAddress, RequestData, RequestSize, ttl, ReplyBuffer,
                                ReplySize, Timeout);
}

__attribute__((visibility("default"))) IcmpHandle Icmp6CreateFile(void) {
    auto* s = new IcmpSocket;
    s->Family = AF_INET6;
    s->Fd = OpenDatagram6();
    if (s->Fd >= 0)
        return s;
    const int datagramError = errno;
    if (Channel(AF_INET6).Join(*s))
        return s;
    const int rawError = errno;
    delete s;
    errno = datagramError == EMFILE || datagramError == ENFILE ? datagramError : rawError;
    return ICMP_INVALID_HANDLE;
}

__attribute__((visibility("default"))) uint32_t
Icmp6SendEcho2(IcmpHandle Handle, void* Event, void* ApcRoutine, void* ApcContext,
               sockaddr_in6* SourceAddress, sockaddr_in6* DestinationAddress, void* RequestData,
               uint16_t RequestSize, IP_OPTION_INFORMATION* RequestOptions, void* ReplyBuffer,
               uint32_t ReplySize, uint32_t Timeout) {
    if (Handle == nullptr || Handle == ICMP_INVALID_HANDLE ||
        static_cast<IcmpSocket*>(Handle)->Family != AF_INET6) {
        errno = EBADF;
        return 0;
    }
    if (ReplyBuffer == nullptr || ReplySize < sizeof(ICMPV6_ECHO_REPLY) + 8) {
        errno = IP_BUF_TOO_SMALL;
        return 0;
    }
    if (Event != nullptr || ApcRoutine != nullptr || ApcContext != nullptr ||
        DestinationAddress == nullptr || DestinationAddress->sin6_family != AF_INET6 ||
        (RequestData == nullptr && RequestSize > 0)) {
        errno = IP_BAD_REQ;
        return 0;
    }
    const int hops = RequestOptions != nullptr ? RequestOptions->Ttl : -1;
    if (hops == 0) {
        errno = IP_BAD_OPTION;
        return 0;
    }
    const sockaddr_in6& to = *DestinationAddress;
    if (Unspecified(to.sin6_addr) || IN6_IS_ADDR_MULTICAST(&to.sin6_addr)) {
        errno = IP_BAD_DESTINATION;
        return 0;
    }
    auto& s = *static_cast<IcmpSocket*>(Handle);
    return s.Raw ? RawEcho6(s, SourceAddress, to, RequestData, RequestSize, hops, ReplyBuffer,
                            ReplySize, Timeout)
                 : DatagramEcho6(s, SourceAddress, to, RequestData, RequestSize, hops, ReplyBuffer,
                                 ReplySize, Timeout);
}

} // extern "C"
