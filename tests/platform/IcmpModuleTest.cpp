// The ICMP module (bin/icmp.so) driven through its entry points: real
// echoes on loopback from this process, and everything else inside a small
// network of namespaces built per test (client -> router -> target), where a
// scripted responder on the router forges the answers Linux will not give.

#include "platform/IcmpApi.h"
#include "platform/icmp/IcmpPacket.h"
#include "tests/platform/Netns.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// ---- the module, loaded by path the way the echo workers load it ----

struct Module {
    PIcmpCreateFile Create = nullptr;
    PIcmpSendEcho Send = nullptr;
    PIcmpCloseHandle Close = nullptr;
    PIcmpCancelEcho Cancel = nullptr; // optional; the tests of it ask for it
    std::string Error;
};

const Module& Icmp() {
    static const Module module = [] {
        Module m;
        char exe[PATH_MAX] = {};
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
        std::string path(exe, n > 0 ? static_cast<size_t>(n) : 0);
        path = path.substr(0, path.rfind('/') + 1) + "icmp.so";
        void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            m.Error = dlerror();
            return m;
        }
        m.Create = reinterpret_cast<PIcmpCreateFile>(dlsym(library, "IcmpCreateFile"));
        m.Send = reinterpret_cast<PIcmpSendEcho>(dlsym(library, "IcmpSendEcho"));
        m.Close = reinterpret_cast<PIcmpCloseHandle>(dlsym(library, "IcmpCloseHandle"));
        m.Cancel = reinterpret_cast<PIcmpCancelEcho>(dlsym(library, "IcmpCancelEcho"));
        if (m.Create == nullptr || m.Send == nullptr || m.Close == nullptr)
            m.Error = path + " lacks an entry point";
        return m;
    }();
    return module;
}

uint32_t Addr(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

std::string Dotted(uint32_t address) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{address};
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}

// ---- one echo and what came of it ----

struct Request {
    uint32_t To = 0; // network order
    uint16_t Size = 64;
    int Ttl = -1; // -1: no options at all
    uint32_t Timeout = 1000;
    uint32_t ReplySize = 0; // 0: room for the record, the data and 8 more bytes
    uint8_t Seed = 0;       // varies the payload from echo to echo
    uint32_t PauseBefore = 0;
};

// Flat, so that it crosses the pipe from a child in another namespace.
struct Outcome {
    uint32_t Returned = 0;
    int Error = 0;
    uint32_t Address = 0;
    uint32_t Status = 0;
    uint32_t DataSize = 0;
    bool DataInBuffer = false; // Data points just after the record
    bool DataMatches = false;  // exactly the request's bytes came back
    uint32_t ElapsedMs = 0;
    std::array<uint8_t, 128> Head{}; // the first echoed bytes
};
static_assert(std::is_trivially_copyable_v<Outcome>);

Bytes Payload(size_t size, uint8_t seed) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 8));
    return data;
}

Outcome SendEcho(IcmpHandle handle, const Request& r) {
    if (r.PauseBefore > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(r.PauseBefore));
    Bytes data = Payload(r.Size, r.Seed);
    const uint32_t replySize =
        r.ReplySize ? r.ReplySize : static_cast<uint32_t>(sizeof(ICMP_ECHO_REPLY) + r.Size + 8);
    std::vector<uint64_t> buffer(replySize / 8 + 1); // aligned for the record
    IP_OPTION_INFORMATION options{};
    options.Ttl = static_cast<uint8_t>(r.Ttl);

    Outcome o;
    const auto started = Clock::now();
    errno = 0;
    o.Returned = Icmp().Send(handle, r.To, data.empty() ? nullptr : data.data(), r.Size,
                             r.Ttl >= 0 ? &options : nullptr, buffer.data(), replySize, r.Timeout);
    o.Error = errno;
    o.ElapsedMs = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
    if (o.Returned == 0)
        return o;
    const auto* reply = reinterpret_cast<const ICMP_ECHO_REPLY*>(buffer.data());
    o.Address = reply->Address;
    o.Status = reply->Status;
    o.DataSize = reply->DataSize;
    const auto* after = reinterpret_cast<const uint8_t*>(buffer.data()) + sizeof(ICMP_ECHO_REPLY);
    o.DataInBuffer = reply->Data == after;
    if (o.DataInBuffer && sizeof(ICMP_ECHO_REPLY) + o.DataSize <= replySize) {
        o.DataMatches = o.DataSize == r.Size && std::equal(data.begin(), data.end(), after);
        std::copy_n(after, std::min<size_t>(o.DataSize, o.Head.size()), o.Head.begin());
    }
    return o;
}

std::string Describe(const Outcome& o) {
    std::ostringstream text;
    if (o.Returned == 0)
        text << "returned 0 with error " << o.Error;
    else
        text << "returned " << o.Returned << ": status " << o.Status << " from "
             << Dotted(o.Address) << ", " << o.DataSize << " bytes"
             << (o.DataMatches ? " (as sent)" : "");
    text << " after " << o.ElapsedMs << " ms";
    return text.str();
}

// The destination answered with exactly the request's data.
testing::AssertionResult Echoed(const Outcome& o, const Request& r) {
    if (o.Returned == 1 && o.Status == IP_SUCCESS && o.Address == r.To && o.DataInBuffer &&
        o.DataMatches && o.DataSize == r.Size)
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "echo of " << r.Size << " bytes to " << Dotted(r.To) << " " << Describe(o);
}

// One reply record carrying an error status, sent by From.
testing::AssertionResult Failed(const Outcome& o, uint32_t status, uint32_t from) {
    if (o.Returned == 1 && o.Status == status && o.Address == from && o.DataSize == 0)
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "expected status " << status << " from " << Dotted(from) << ", " << Describe(o);
}

// No record; the thread's error holds Error.
testing::AssertionResult Refused(const Outcome& o, int error) {
    if (o.Returned == 0 && o.Error == error)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "expected error " << error << ", " << Describe(o);
}

template <class T> std::string Pack(const std::vector<T>& items) {
    static_assert(std::is_trivially_copyable_v<T>);
    return std::string(reinterpret_cast<const char*>(items.data()), items.size() * sizeof(T));
}

template <class T> std::vector<T> Unpack(const std::string& bytes) {
    std::vector<T> items(bytes.size() / sizeof(T));
    std::memcpy(static_cast<void*>(items.data()), bytes.data(), items.size() * sizeof(T));
    return items;
}

class IcmpModule : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Icmp().Error, ""); }
};

// ---- loopback, from this process ----

class IcmpLoopback : public IcmpModule {
protected:
    void SetUp() override {
        IcmpModule::SetUp();
        handle = Icmp().Create();
        if (handle == ICMP_INVALID_HANDLE && (errno == EACCES || errno == EPERM))
            GTEST_SKIP() << "This user may open no ICMP socket (neither in "
                            "net.ipv4.ping_group_range nor holding CAP_NET_RAW)";
        ASSERT_NE(handle, ICMP_INVALID_HANDLE) << "no ICMP socket opens: " << errno;
    }
    void TearDown() override {
        if (handle != ICMP_INVALID_HANDLE) {
            EXPECT_NE(Icmp().Close(handle), 0);
        }
    }
    IcmpHandle handle = ICMP_INVALID_HANDLE;
};

TEST_F(IcmpLoopback, EchoesLoopbackAddressesWithTheirData) {
    for (const char* to : {"127.0.0.1", "127.0.0.2", "127.45.67.89", "127.255.255.254"}) {
        for (const uint16_t size : {1, 64, 4096}) {
            Request r;
            r.To = Addr(to);
            r.Size = size;
            r.Seed = static_cast<uint8_t>(size + to[6]);
            EXPECT_TRUE(Echoed(SendEcho(handle, r), r));
        }
    }
}

TEST_F(IcmpLoopback, ReplyBufferTooSmall) {
    Request r;
    r.To = Addr("127.0.0.1");
    // Not even room for a record and the 8 bytes an error may carry.
    r.ReplySize = sizeof(ICMP_ECHO_REPLY) + 7;
    EXPECT_TRUE(Refused(SendEcho(handle, r), IP_BUF_TOO_SMALL));
    // Room for the record but not for the 64 bytes that come back.
    r.ReplySize = sizeof(ICMP_ECHO_REPLY) + 8;
    EXPECT_TRUE(Refused(SendEcho(handle, r), IP_BUF_TOO_SMALL));
    // The handle is still good for the next echo.
    r.ReplySize = 0;
    EXPECT_TRUE(Echoed(SendEcho(handle, r), r));
}

TEST_F(IcmpLoopback, TimeToLiveZeroIsABadOption) {
    Request r;
    r.To = Addr("127.0.0.1");
    r.Ttl = 0;
    EXPECT_TRUE(Refused(SendEcho(handle, r), IP_BAD_OPTION));
    r.Ttl = 1; // enough on loopback
    EXPECT_TRUE(Echoed(SendEcho(handle, r), r));
    r.Ttl = -1;
    EXPECT_TRUE(Echoed(SendEcho(handle, r), r));
}

TEST_F(IcmpLoopback, RequestTooLargeForOneDatagram) {
    Request r;
    r.To = Addr("127.0.0.1");
    r.Size = 65535; // with the headers, more than an IPv4 datagram holds
    EXPECT_TRUE(Refused(SendEcho(handle, r), IP_PACKET_TOO_BIG));
    r.Size = 65000;
    EXPECT_TRUE(Echoed(SendEcho(handle, r), r));
}

TEST_F(IcmpModule, InvalidHandles) {
    uint8_t data[8] = {};
    std::vector<uint64_t> reply(64);
    for (const IcmpHandle bad : {ICMP_INVALID_HANDLE, IcmpHandle{nullptr}}) {
        errno = 0;
        EXPECT_EQ(Icmp().Send(bad, Addr("127.0.0.1"), data, sizeof(data), nullptr, reply.data(),
                              static_cast<uint32_t>(reply.size() * 8), 100),
                  0u);
        EXPECT_EQ(errno, EBADF);
        EXPECT_EQ(Icmp().Close(bad), 0);
    }
    const IcmpHandle good = Icmp().Create();
    if (good != ICMP_INVALID_HANDLE) {
        EXPECT_NE(Icmp().Close(good), 0);
    }
}

// ---- the namespace network ----
//
//   client eth0 10.77.1.2 --- c0 10.77.1.1  router  t0 10.77.2.1 --- eth0 10.77.2.2 target
//
// 10.77.0.0/16 exists only in these namespaces; none of them has a link to
// anything else. The client routes the whole /16 to the router.

const uint32_t RouterAddress = Addr("10.77.1.1"); // the router as the client sees it
const uint32_t TargetAddress = Addr("10.77.2.2");

// The third byte of an address says what lies behind it.
enum Net : uint32_t {
    TargetHosts = 4,   // all of 10.77.4.0/24 is the target's own
    LocalUnreach = 5,  // client: unreachable route
    LocalThrow = 6,    // client: throw route
    LocalProhibit = 7, // client: prohibit route
    Scripted = 9,      // the router's own; the responder answers by script (last byte)
    Unreachable = 10,  // router: unreachable route
    Prohibited = 11,   // router: prohibit route
    Unrouted = 12,     // router: no route at all
    Blackholed = 13,   // router: blackhole route
    NarrowPath = 14,   // the target's, behind a path MTU of 1200
    NotForwarded = 15, // routed to the target, which does not forward
};

uint32_t Host(Net net, int last) {
    return htonl((10u << 24) | (77u << 16) | (net << 8) | static_cast<uint32_t>(last));
}
const uint32_t NoNeighbour = Addr("10.77.2.99"); // on the router's link, never answers

// What the responder does with an echo request to Host(Scripted, n).
enum Script : int {
    ErrorUnreachableCode0 = 0, // 0..15: destination unreachable with that code
    ErrorTimeExceeded = 16,
    ErrorReassemblyTimeExceeded = 17,
    ErrorParameterProblem = 18,
    ErrorSourceQuench = 19,
    ErrorForOtherSequence = 20,    // host unreachable quoting another sequence number
    ShortReply = 21,               // a reply carrying the first half of the data
    ChangedReply = 22,             // a reply carrying the data inverted
    LateError = 23,                // host unreachable 500 ms after the request
    RedirectThenReply = 24,        // a redirect, then the true reply
    ErrorForOtherDestination = 25, // host unreachable quoting another destination
    ReplyFromElsewhere = 26,       // a reply sent from another address
    ErrorWithOptions = 27,         // host unreachable; IP options outside and in the quote
    ReplyWithOptions = 28,         // a reply with IP options
    ReplyForOtherSequence = 29,    // a reply carrying another sequence number (a late one)
};

// An IPv4 datagram carrying an ICMP message with the given second word, and
// OptionWords words of IP options (no-operations) in its header.
Bytes IcmpDatagram(uint32_t from, uint32_t to, uint8_t type, uint8_t code, const uint8_t (&word)[4],
                   const uint8_t* body, size_t bodySize, size_t optionWords) {
    const size_t ihl = 20 + 4 * optionWords;
    const size_t total = ihl + 8 + bodySize;
    Bytes out(total, 0);
    out[0] = static_cast<uint8_t>(0x40 | (ihl / 4));
    out[2] = static_cast<uint8_t>(total >> 8);
    out[3] = static_cast<uint8_t>(total);
    out[8] = 64;
    out[9] = IPPROTO_ICMP;
    std::memcpy(&out[12], &from, 4);
    std::memcpy(&out[16], &to, 4);
    std::fill(out.begin() + 20, out.begin() + static_cast<long>(ihl), 1);
    uint8_t* icmp = &out[ihl];
    icmp[0] = type;
    icmp[1] = code;
    std::copy_n(word, 4, icmp + 4);
    if (bodySize > 0)
        std::memcpy(icmp + 8, body, bodySize);
    const uint16_t sum = icmp::Checksum(icmp, 8 + bodySize);
    icmp[2] = static_cast<uint8_t>(sum >> 8);
    icmp[3] = static_cast<uint8_t>(sum);
    return out; // the kernel fills in the header checksum
}

// Runs in the router: answers echo requests to 10.77.9.n by script n. The
// router's own kernel does not answer echoes (icmp_echo_ignore_all).
[[noreturn]] void RunResponder(int readyFd) {
    const int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    const int on = 1;
    if (fd < 0 || setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof(on)) != 0)
        _exit(1);
    if (write(readyFd, "r", 1) != 1)
        _exit(1);
    close(readyFd);

    struct Later {
        Clock::time_point Due;
        Bytes Packet;
    };
    std::vector<Later> later;
    const auto send = [fd](const Bytes& packet) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        std::memcpy(&to.sin_addr.s_addr, &packet[16], 4);
        sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    };
    for (;;) {
        int wait = -1;
        if (!later.empty()) {
            const auto due = std::min_element(later.begin(), later.end(), [](auto& a, auto& b) {
                                 return a.Due < b.Due;
                             })->Due;
            wait = static_cast<int>(std::max<long long>(
                0, std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count()));
        }
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, wait);
        for (auto it = later.begin(); it != later.end();) {
            if (it->Due <= Clock::now()) {
                send(it->Packet);
                it = later.erase(it);
            } else {
                ++it;
            }
        }
        if (!(p.revents & POLLIN))
            continue;
        Bytes in(70000);
        const ssize_t n = recv(fd, in.data(), in.size(), MSG_DONTWAIT);
        if (n < 28)
            continue;
        in.resize(static_cast<size_t>(n));
        const size_t ihl = static_cast<size_t>(in[0] & 0x0f) * 4;
        if (in.size() < ihl + 8 || in[ihl] != 8 || in[16] != 10 || in[17] != 77 || in[18] != 9)
            continue;
        const int script = in[19];
        uint32_t client, self;
        std::memcpy(&client, &in[12], 4);
        std::memcpy(&self, &in[16], 4);

        // An error quotes the request's IP header and the first 8 bytes after it.
        Bytes quote(in.begin(), in.begin() + static_cast<long>(ihl + 8));
        size_t options = 0; // words of IP options in what is sent back
        const auto error = [&](uint8_t type, uint8_t code, const uint8_t(&word)[4]) {
            return IcmpDatagram(RouterAddress, client, type, code, word, quote.data(), quote.size(),
                                options);
        };
        const uint8_t none[4] = {0, 0, 0, 0};
        const uint8_t idAndSequence[4] = {in[ihl + 4], in[ihl + 5], in[ihl + 6], in[ihl + 7]};
        Bytes data(in.begin() + static_cast<long>(ihl + 8), in.end());
        const auto reply = [&](uint32_t from, const Bytes& body) {
            return IcmpDatagram(from, client, 0, 0, idAndSequence, body.data(), body.size(),
                                options);
        };

        if (script < 16) {
            const uint8_t mtu[4] = {0, 0, 1200 >> 8, 1200 & 0xff}; // read only for code 4
            send(error(3, static_cast<uint8_t>(script), mtu));
        } else if (script == ErrorTimeExceeded || script == ErrorReassemblyTimeExceeded) {
            send(error(11, static_cast<uint8_t>(script - ErrorTimeExceeded), none));
        } else if (script == ErrorParameterProblem) {
            send(error(12, 0, none));
        } else if (script == ErrorSourceQuench) {
            send(error(4, 0, none));
        } else if (script == ErrorForOtherSequence) {
            quote[ihl + 7] ^= 1;
            send(error(3, 1, none));
        } else if (script == ErrorForOtherDestination) {
            quote[19] ^= 1;
            send(error(3, 1, none));
        } else if (script == ShortReply) {
            data.resize(data.size() / 2);
            send(reply(self, data));
        } else if (script == ChangedReply) {
            for (auto& byte : data)
                byte = static_cast<uint8_t>(~byte);
            send(reply(self, data));
        } else if (script == LateError) {
            later.push_back({Clock::now() + 500ms, error(3, 1, none)});
        } else if (script == RedirectThenReply) {
            uint8_t gateway[4];
            std::memcpy(gateway, &RouterAddress, 4);
            send(error(5, 1, gateway));
            send(reply(self, data));
        } else if (script == ReplyFromElsewhere) {
            send(reply(Host(Scripted, 99), data));
        } else if (script == ErrorWithOptions) {
            options = 2;
            const uint8_t nops[4] = {1, 1, 1, 1};
            quote.insert(quote.begin() + static_cast<long>(ihl), nops, nops + 4);
            quote[0] = static_cast<uint8_t>(0x40 | ((ihl + 4) / 4));
            send(error(3, 1, none));
        } else if (script == ReplyWithOptions) {
            options = 3;
            send(reply(self, data));
        } else if (script == ReplyForOtherSequence) {
            uint8_t other[4];
            std::copy_n(idAndSequence, 4, other);
            other[3] ^= 1;
            send(IcmpDatagram(self, client, 0, 0, other, data.data(), data.size(), 0));
        }
    }
}

// What the target saw of one echo request.
struct Seen {
    uint16_t Identifier;
    uint16_t Sequence;
    uint16_t Size;
};

// Runs in the target: writes a Seen to RecordFd for every echo request that
// arrives (the target's kernel answers them as usual).
[[noreturn]] void RunRecorder(int readyFd, int recordFd) {
    const int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (fd < 0 || write(readyFd, "r", 1) != 1)
        _exit(1);
    close(readyFd);
    Bytes in(70000);
    for (;;) {
        const ssize_t n = recv(fd, in.data(), in.size(), 0);
        const size_t ihl = static_cast<size_t>(in[0] & 0x0f) * 4;
        if (n < 0 || static_cast<size_t>(n) < ihl + 8 || in[ihl] != 8)
            continue;
        const Seen seen{static_cast<uint16_t>(in[ihl + 4] << 8 | in[ihl + 5]),
                        static_cast<uint16_t>(in[ihl + 6] << 8 | in[ihl + 7]),
                        static_cast<uint16_t>(static_cast<size_t>(n) - ihl - 8)};
        if (write(recordFd, &seen, sizeof(seen)) != sizeof(seen))
            _exit(1);
    }
}

// Reads from Fd until nothing more has come for Quiet.
std::string ReadUntilQuiet(int fd, std::chrono::milliseconds quiet) {
    std::string bytes;
    char buffer[4096];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, static_cast<int>(quiet.count())) == 1) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0)
            break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    return bytes;
}

enum class SocketKind { Datagram, Raw };

// The three namespaces, their links and routes, and the responder.
class Lab {
public:
    Lab(const std::string& prefix, SocketKind kind)
        : Client(prefix + "client"), Router(prefix + "router"), Target(prefix + "target") {
        Client.Ip({"link", "add", "name", "eth0", "type", "veth", "peer", "name", "c0", "netns",
                   Router.Name()});
        Router.Ip({"link", "add", "name", "t0", "type", "veth", "peer", "name", "eth0", "netns",
                   Target.Name()});
        Client.Ip({"addr", "add", "10.77.1.2/24", "dev", "eth0"});
        Router.Ip({"addr", "add", "10.77.1.1/24", "dev", "c0"});
        Router.Ip({"addr", "add", "10.77.2.1/24", "dev", "t0"});
        Target.Ip({"addr", "add", "10.77.2.2/24", "dev", "eth0"});
        const std::pair<netns::Namespace*, const char*> links[] = {
            {&Client, "eth0"}, {&Router, "c0"}, {&Router, "t0"}, {&Target, "eth0"}};
        for (const auto& [ns, dev] : links)
            ns->Ip({"link", "set", dev, "up"});

        Client.Ip({"route", "add", "10.77.0.0/16", "via", "10.77.1.1"});
        Client.Ip({"route", "add", "unreachable", "10.77.5.0/24"});
        Client.Ip({"route", "add", "throw", "10.77.6.0/24"});
        Client.Ip({"route", "add", "prohibit", "10.77.7.0/24"});
        Client.Sysctl("net.ipv4.ping_group_range",
                      kind == SocketKind::Datagram ? "0 2147483647" : "1 0");

        Router.Ip({"addr", "add", "10.77.9.1/24", "dev", "lo"});
        Router.Ip({"route", "add", "10.77.4.0/24", "via", "10.77.2.2"});
        Router.Ip({"route", "add", "10.77.14.0/24", "via", "10.77.2.2", "mtu", "lock", "1200"});
        Router.Ip({"route", "add", "unreachable", "10.77.10.0/24"});
        Router.Ip({"route", "add", "prohibit", "10.77.11.0/24"});
        Router.Ip({"route", "add", "blackhole", "10.77.13.0/24"});
        Router.Ip({"route", "add", "10.77.15.0/24", "via", "10.77.2.2"});
        Router.Sysctl("net.ipv4.ip_forward", "1");
        Router.Sysctl("net.ipv4.icmp_echo_ignore_all", "1");
        // Every test error must leave the router, however many come at once.
        Router.Sysctl("net.ipv4.icmp_ratelimit", "0");
        Router.Sysctl("net.ipv4.icmp_msgs_per_sec", "100000");
        // Give up on a silent neighbour in a fraction of a second.
        Router.Sysctl("net.ipv4.neigh.t0.retrans_time_ms", "100");
        Router.Sysctl("net.ipv4.neigh.t0.mcast_solicit", "2");

        Target.Ip({"route", "add", "10.77.1.0/24", "via", "10.77.2.1"});
        Target.Ip({"addr", "add", "10.77.4.1/24", "dev", "lo"}); // all of 10.77.4.x answers
        Target.Ip({"addr", "add", "10.77.14.1/24", "dev", "lo"});

        Responder = Router.Start(RunResponder);
    }

    netns::Namespace Client, Router, Target;
    netns::Process Responder; // stopped before the namespaces go
};

const std::string NamespacePrefix = "sentrel-icmp-";

class IcmpNamespaces : public IcmpModule, public testing::WithParamInterface<SocketKind> {
protected:
    void SetUp() override {
        IcmpModule::SetUp();
        static const std::string unavailable = netns::UnavailableReason();
        if (!unavailable.empty())
            GTEST_SKIP() << "Skipping the namespace tests: " << unavailable;
        netns::RemoveLeftovers(NamespacePrefix);
        static int counter = 0;
        const std::string prefix =
            NamespacePrefix + std::to_string(getpid()) + "-" + std::to_string(++counter) + "-";
        try {
            lab = std::make_unique<Lab>(prefix, GetParam());
        } catch (const std::exception& e) {
            FAIL() << "could not build the test network: " << e.what();
        }
    }
    void TearDown() override { lab.reset(); }

    int ExpectedSocketType() const { return GetParam() == SocketKind::Raw ? SOCK_RAW : SOCK_DGRAM; }

    // Sends Requests one after another over one handle, from the client.
    std::vector<Outcome> FromClient(const std::vector<Request>& requests) {
        const std::string bytes = lab->Client.RunInside([&] {
            const IcmpHandle handle = Icmp().Create();
            if (handle == ICMP_INVALID_HANDLE)
                return std::string();
            std::string packed(1, static_cast<char>(ModuleSocketType()));
            std::vector<Outcome> outcomes;
            for (const Request& r : requests)
                outcomes.push_back(SendEcho(handle, r));
            Icmp().Close(handle);
            return packed + Pack(outcomes);
        });
        EXPECT_FALSE(bytes.empty()) << "no handle in the client namespace";
        if (!bytes.empty()) {
            EXPECT_EQ(bytes[0], ExpectedSocketType()) << "the module chose another socket kind";
        }
        auto outcomes = Unpack<Outcome>(bytes.empty() ? bytes : bytes.substr(1));
        outcomes.resize(requests.size());
        return outcomes;
    }

    // The type of the one ICMP socket the module holds open in this process.
    static int ModuleSocketType() {
        for (int fd = 3; fd < 1024; ++fd) {
            int type = 0, protocol = 0;
            socklen_t size = sizeof(int);
            if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0)
                continue;
            size = sizeof(int);
            if (getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &size) == 0 &&
                protocol == IPPROTO_ICMP)
                return type;
        }
        return 0;
    }

    std::unique_ptr<Lab> lab;
};

Request To(uint32_t address, uint16_t size = 64, uint32_t timeout = 1000) {
    Request r;
    r.To = address;
    r.Size = size;
    r.Timeout = timeout;
    r.Seed = static_cast<uint8_t>(address >> 24) ^ static_cast<uint8_t>(size);
    return r;
}

TEST_P(IcmpNamespaces, EchoesHostsBehindTheRouter) {
    const std::vector<Request> requests{To(TargetAddress, 1), To(TargetAddress, 64),
                                        To(TargetAddress, 4096), To(Host(TargetHosts, 9), 64),
                                        To(Host(TargetHosts, 200), 4096)};
    const auto outcomes = FromClient(requests);
    for (size_t i = 0; i < requests.size(); ++i)
        EXPECT_TRUE(Echoed(outcomes[i], requests[i]));
}

TEST_P(IcmpNamespaces, TimeToLiveOneExpiresAtTheRouter) {
    Request one = To(TargetAddress);
    one.Ttl = 1;
    Request two = To(TargetAddress);
    two.Ttl = 2;
    const auto outcomes = FromClient({one, To(TargetAddress), two, one});
    EXPECT_TRUE(Failed(outcomes[0], IP_TTL_EXPIRED_TRANSIT, RouterAddress));
    // Without options the system's default applies again, not the last one set.
    EXPECT_TRUE(Echoed(outcomes[1], To(TargetAddress)));
    EXPECT_TRUE(Echoed(outcomes[2], two));
    EXPECT_TRUE(Failed(outcomes[3], IP_TTL_EXPIRED_TRANSIT, RouterAddress));
}

TEST_P(IcmpNamespaces, RouterErrorsBecomeStatusCodes) {
    const auto outcomes = FromClient({To(Host(Unreachable, 1)), To(Host(Prohibited, 1)),
                                      To(Host(Unrouted, 1)), To(Host(NarrowPath, 1), 1300),
                                      To(Host(NarrowPath, 1), 1300), To(NoNeighbour, 64, 5000)});
    EXPECT_TRUE(Failed(outcomes[0], IP_DEST_HOST_UNREACHABLE, RouterAddress)); // code 1
    EXPECT_TRUE(Failed(outcomes[1], IP_DEST_HOST_UNREACHABLE, RouterAddress)); // code 13
    EXPECT_TRUE(Failed(outcomes[2], IP_DEST_NET_UNREACHABLE, RouterAddress));  // code 0
    EXPECT_TRUE(Failed(outcomes[3], IP_PACKET_TOO_BIG, RouterAddress));        // code 4
    // The client has learnt the narrower path and now fragments to fit it.
    EXPECT_TRUE(Echoed(outcomes[4], To(Host(NarrowPath, 1), 1300)));
    // The router gives up resolving the neighbour and says so.
    EXPECT_TRUE(Failed(outcomes[5], IP_DEST_HOST_UNREACHABLE, RouterAddress));
}

TEST_P(IcmpNamespaces, LocalRouteErrorsFailTheSend) {
    const auto outcomes =
        FromClient({To(Host(LocalUnreach, 1)), To(Host(LocalThrow, 1)), To(Host(LocalProhibit, 1)),
                    To(TargetAddress, 65535), To(TargetAddress)});
    EXPECT_TRUE(Refused(outcomes[0], IP_DEST_HOST_UNREACHABLE));
    EXPECT_TRUE(Refused(outcomes[1], IP_DEST_NET_UNREACHABLE));
    // As the router's prohibit route (code 13) above, not the system's own code.
    EXPECT_TRUE(Refused(outcomes[2], IP_DEST_HOST_UNREACHABLE));
    EXPECT_TRUE(Refused(outcomes[3], IP_PACKET_TOO_BIG));
    EXPECT_TRUE(Echoed(outcomes[4], To(TargetAddress))) << "a failed send must not linger";
}

TEST_P(IcmpNamespaces, UnansweredEchoesTimeOut) {
    const auto outcomes =
        FromClient({To(Host(Blackholed, 1), 64, 400), To(Host(NotForwarded, 1), 64, 300),
                    To(Host(Scripted, ErrorForOtherSequence), 64, 300),
                    To(Host(Scripted, ErrorForOtherDestination), 64, 300),
                    To(Host(Scripted, ReplyFromElsewhere), 64, 300), To(TargetAddress)});
    EXPECT_TRUE(Refused(outcomes[0], IP_REQ_TIMED_OUT)) << "blackholed";
    EXPECT_GE(outcomes[0].ElapsedMs, 350u);
    EXPECT_LE(outcomes[0].ElapsedMs, 3000u);
    // The target does not forward and drops the echo without a word; answers
    // that are not about this echo are passed over.
    for (size_t i = 1; i <= 4; ++i) {
        EXPECT_TRUE(Refused(outcomes[i], IP_REQ_TIMED_OUT)) << i;
        EXPECT_GE(outcomes[i].ElapsedMs, 250u) << i;
        EXPECT_LE(outcomes[i].ElapsedMs, 3000u) << i;
    }
    EXPECT_TRUE(Echoed(outcomes[5], To(TargetAddress)));
}

// A datagram socket is handed every reply with its identifier, so a late
// reply to an earlier echo reaches it; only the sequence number tells.
TEST_P(IcmpNamespaces, AReplyCarryingAnotherSequenceNumberIsPassedOver) {
    const auto outcomes =
        FromClient({To(Host(Scripted, ReplyForOtherSequence), 64, 300), To(TargetAddress)});
    EXPECT_TRUE(Refused(outcomes[0], IP_REQ_TIMED_OUT));
    EXPECT_TRUE(Echoed(outcomes[1], To(TargetAddress)));
}

TEST_P(IcmpNamespaces, EveryErrorTypeAndCodeBecomesItsStatus) {
    struct Case {
        int Script;
        uint32_t Status;
    };
    std::vector<Case> cases{
        {0, IP_DEST_NET_UNREACHABLE},
        {1, IP_DEST_HOST_UNREACHABLE},
        {2, IP_DEST_PROT_UNREACHABLE},
        {3, IP_DEST_PORT_UNREACHABLE},
        {4, IP_PACKET_TOO_BIG},
        {5, IP_BAD_ROUTE},
        {6, IP_DEST_NET_UNREACHABLE},
        {7, IP_DEST_HOST_UNREACHABLE},
        {8, IP_DEST_HOST_UNREACHABLE},
        {9, IP_DEST_NET_UNREACHABLE},
        {10, IP_DEST_HOST_UNREACHABLE},
        {11, IP_DEST_NET_UNREACHABLE},
        {12, IP_DEST_HOST_UNREACHABLE},
        {13, IP_DEST_HOST_UNREACHABLE},
        {14, IP_DEST_HOST_UNREACHABLE},
        {15, IP_DEST_HOST_UNREACHABLE},
        {ErrorTimeExceeded, IP_TTL_EXPIRED_TRANSIT},
        {ErrorReassemblyTimeExceeded, IP_TTL_EXPIRED_REASSEM},
        {ErrorParameterProblem, IP_PARAM_PROBLEM},
        {ErrorSourceQuench, IP_SOURCE_QUENCH},
        {ErrorWithOptions, IP_DEST_HOST_UNREACHABLE},
    };
    std::vector<Request> requests;
    for (const Case& c : cases)
        requests.push_back(To(Host(Scripted, c.Script)));
    const auto outcomes = FromClient(requests);
    for (size_t i = 0; i < cases.size(); ++i) {
        // Linux keeps reassembly timeouts from datagram sockets (only raw ones
        // see them), so there the echo simply goes unanswered.
        if (cases[i].Script == ErrorReassemblyTimeExceeded && GetParam() == SocketKind::Datagram)
            EXPECT_TRUE(Refused(outcomes[i], IP_REQ_TIMED_OUT));
        else
            EXPECT_TRUE(Failed(outcomes[i], cases[i].Status, RouterAddress))
                << "script " << cases[i].Script;
    }
}

TEST_P(IcmpNamespaces, RepliesAreHandedBackAsTheyArrived) {
    const Request sent = To(Host(Scripted, ShortReply));
    const auto outcomes =
        FromClient({sent, To(Host(Scripted, ChangedReply)), To(Host(Scripted, RedirectThenReply)),
                    To(Host(Scripted, ReplyWithOptions), 200)});
    const Bytes data = Payload(64, sent.Seed);

    EXPECT_EQ(outcomes[0].Returned, 1u);
    EXPECT_EQ(outcomes[0].Status, IP_SUCCESS);
    EXPECT_EQ(outcomes[0].Address, Host(Scripted, ShortReply));
    ASSERT_EQ(outcomes[0].DataSize, 32u);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 32, outcomes[0].Head.begin()));

    const Bytes changed = Payload(64, To(Host(Scripted, ChangedReply)).Seed);
    EXPECT_EQ(outcomes[1].Returned, 1u);
    EXPECT_EQ(outcomes[1].Status, IP_SUCCESS);
    ASSERT_EQ(outcomes[1].DataSize, 64u);
    EXPECT_FALSE(outcomes[1].DataMatches);
    for (size_t i = 0; i < 64; ++i)
        EXPECT_EQ(outcomes[1].Head[i], static_cast<uint8_t>(~changed[i])) << i;

    // A redirect is advice; the reply after it answers the echo.
    EXPECT_TRUE(Echoed(outcomes[2], To(Host(Scripted, RedirectThenReply))));
    // IP options move the ICMP header; the raw socket filter must follow it.
    EXPECT_TRUE(Echoed(outcomes[3], To(Host(Scripted, ReplyWithOptions), 200)));
}

TEST_P(IcmpNamespaces, LateErrorDoesNotFailLaterEchoes) {
    Request afterIt = To(TargetAddress);
    afterIt.PauseBefore = 800; // the late error has arrived by now
    const auto outcomes = FromClient(
        {To(Host(Scripted, LateError), 64, 200), To(TargetAddress), afterIt, To(TargetAddress)});
    EXPECT_TRUE(Refused(outcomes[0], IP_REQ_TIMED_OUT));
    EXPECT_TRUE(Echoed(outcomes[1], To(TargetAddress)));
    EXPECT_TRUE(Echoed(outcomes[2], afterIt));
    EXPECT_TRUE(Echoed(outcomes[3], To(TargetAddress)));
}

TEST_P(IcmpNamespaces, WorkersOnlySeeTheirOwnAnswers) {
    // Two to the same host, two to others, one always refused, one never answered.
    struct Worker {
        uint32_t To;
        uint32_t Timeout;
        int Echoes;
    };
    const std::vector<Worker> workers{
        {TargetAddress, 1000, 40},        {TargetAddress, 1000, 40},
        {Host(TargetHosts, 2), 1000, 40}, {Host(TargetHosts, 3), 1000, 40},
        {Host(Scripted, 1), 1000, 40},    {Host(Blackholed, 2), 100, 4},
    };
    struct Tally {
        int Echoes = 0;
        int Good = 0;
        Outcome FirstBad{};
    };
    int records[2];
    ASSERT_EQ(pipe2(records, O_CLOEXEC), 0);
    netns::Process recorder = lab->Target.Start([&](int ready) { RunRecorder(ready, records[1]); });
    close(records[1]);

    const std::string bytes = lab->Client.RunInside([&] {
        std::vector<Tally> tallies(workers.size());
        std::vector<std::thread> threads;
        std::atomic<int> ready{0};
        for (size_t w = 0; w < workers.size(); ++w) {
            threads.emplace_back([&, w] {
                const IcmpHandle handle = Icmp().Create();
                ++ready;
                while (ready < static_cast<int>(workers.size()))
                    std::this_thread::yield();
                Tally& tally = tallies[w];
                for (int i = 0; i < workers[w].Echoes && handle != ICMP_INVALID_HANDLE; ++i) {
                    // The size tells the target whose request it sees.
                    Request r = To(workers[w].To, static_cast<uint16_t>(16 + 50 * w + i),
                                   workers[w].Timeout);
                    r.Seed = static_cast<uint8_t>(w * 40 + i);
                    const Outcome o = SendEcho(handle, r);
                    const bool good =
                        w == 4
                            ? static_cast<bool>(Failed(o, IP_DEST_HOST_UNREACHABLE, RouterAddress))
                        : w == 5 ? static_cast<bool>(Refused(o, IP_REQ_TIMED_OUT))
                                 : static_cast<bool>(Echoed(o, r));
                    ++tally.Echoes;
                    if (good)
                        ++tally.Good;
                    else if (tally.Good + 1 == tally.Echoes)
                        tally.FirstBad = o;
                }
                if (handle != ICMP_INVALID_HANDLE)
                    Icmp().Close(handle);
            });
        }
        for (auto& t : threads)
            t.join();
        return Pack(tallies);
    });
    const auto tallies = Unpack<Tally>(bytes);
    ASSERT_EQ(tallies.size(), workers.size());
    for (size_t w = 0; w < workers.size(); ++w) {
        EXPECT_EQ(tallies[w].Echoes, workers[w].Echoes) << "worker " << w;
        EXPECT_EQ(tallies[w].Good, tallies[w].Echoes)
            << "worker " << w << " to " << Dotted(workers[w].To)
            << ", first wrong answer: " << Describe(tallies[w].FirstBad);
    }

    // On the wire: one identifier per handle, none shared, no sequence twice.
    const auto seen = Unpack<Seen>(ReadUntilQuiet(records[0], 300ms));
    close(records[0]);
    std::vector<std::set<uint16_t>> identifiers(4);
    std::vector<int> requests(4);
    std::set<uint16_t> sequences;
    for (const Seen& request : seen) {
        const size_t w = (request.Size - 16u) / 50;
        if (w >= identifiers.size())
            continue;
        identifiers[w].insert(request.Identifier);
        ++requests[w];
        EXPECT_TRUE(sequences.insert(request.Sequence).second)
            << "sequence " << request.Sequence << " sent twice";
    }
    std::set<uint16_t> distinct;
    for (size_t w = 0; w < identifiers.size(); ++w) {
        EXPECT_EQ(requests[w], workers[w].Echoes) << "requests of worker " << w;
        ASSERT_EQ(identifiers[w].size(), 1u) << "identifiers of worker " << w;
        EXPECT_TRUE(distinct.insert(*identifiers[w].begin()).second)
            << "worker " << w << " shares identifier " << *identifiers[w].begin();
    }
}

TEST_P(IcmpNamespaces, UnprivilegedUser) {
    // Without CAP_NET_RAW only a datagram socket can open, and only where the
    // namespace allows it.
    const std::string bytes = lab->Client.RunInside([&] {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            return std::string("no");
        const IcmpHandle handle = Icmp().Create();
        const int error = errno;
        std::vector<Outcome> outcome(1);
        if (handle == ICMP_INVALID_HANDLE) {
            outcome[0].Error = error;
        } else {
            outcome[0] = SendEcho(handle, To(TargetAddress));
            Icmp().Close(handle);
        }
        return std::string(handle == ICMP_INVALID_HANDLE ? "invalid" : "valid") + Pack(outcome);
    });
    ASSERT_GT(bytes.size(), sizeof(Outcome)) << bytes;
    const Outcome o = Unpack<Outcome>(bytes.substr(bytes.size() - sizeof(Outcome)))[0];
    const std::string handle = bytes.substr(0, bytes.size() - sizeof(Outcome));
    if (GetParam() == SocketKind::Datagram) {
        ASSERT_EQ(handle, "valid");
        EXPECT_TRUE(Echoed(o, To(TargetAddress)));
    } else {
        EXPECT_EQ(handle, "invalid");
        EXPECT_TRUE(o.Error == EACCES || o.Error == EPERM) << o.Error;
    }
}

TEST_P(IcmpNamespaces, EchoDroppedByTheLocalQueue) {
    // The first echo has the router's link address resolved, so that the next
    // one goes straight to the queue.
    ASSERT_TRUE(Echoed(FromClient({To(TargetAddress)})[0], To(TargetAddress)));
    std::string output;
    if (netns::Run({"tc", "-n", lab->Client.Name(), "qdisc", "add", "dev", "eth0", "root", "pfifo",
                    "limit", "0"},
                   &output) != 0)
        GTEST_SKIP() << "tc cannot install a queue that drops everything here: " << output;
    const Outcome o = FromClient({To(TargetAddress, 64, 300)})[0];
    if (GetParam() == SocketKind::Datagram)
        EXPECT_TRUE(Refused(o, IP_NO_RESOURCES));
    else // a raw socket is told the dropped send succeeded
        EXPECT_TRUE(Refused(o, IP_REQ_TIMED_OUT));
}

// Echo requests this network namespace has sent (OutEchos of /proc/net/snmp).
long long EchoRequestsSent() {
    std::ifstream snmp("/proc/net/snmp");
    std::string names, values;
    while (std::getline(snmp, names) && std::getline(snmp, values)) {
        if (names.rfind("Icmp: ", 0) != 0)
            continue;
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value) {
            if (name == "OutEchos")
                return std::stoll(value);
        }
    }
    return -1;
}

// Cancelled once its request has left, an hour-long echo to a host that never
// answers ends at once (an unmended module outlasts the child's limit), and
// so does every later echo on the handle.
TEST_P(IcmpNamespaces, ACancelledEchoEndsAtOnceAndSoDoLaterOnes) {
    ASSERT_NE(Icmp().Cancel, nullptr) << "the module exports no IcmpCancelEcho";
    const uint32_t hour = 60 * 60 * 1000;
    const std::string bytes = lab->Client.RunInside([&] {
        const IcmpHandle handle = Icmp().Create();
        if (handle == ICMP_INVALID_HANDLE)
            return std::string();
        const long long sentBefore = EchoRequestsSent();
        Outcome blocked;
        std::thread sender([&] { blocked = SendEcho(handle, To(Host(Blackholed, 1), 64, hour)); });
        while (EchoRequestsSent() == sentBefore)
            std::this_thread::yield();
        const int cancelled = Icmp().Cancel(handle);
        sender.join();
        const Outcome later = SendEcho(handle, To(TargetAddress, 64, hour));
        Icmp().Close(handle);
        return std::string(1, static_cast<char>(cancelled)) +
               Pack(std::vector<Outcome>{blocked, later});
    });
    ASSERT_EQ(bytes.size(), 1 + 2 * sizeof(Outcome)) << "no handle in the client namespace";
    EXPECT_NE(bytes[0], 0);
    const auto outcomes = Unpack<Outcome>(bytes.substr(1));
    EXPECT_TRUE(Refused(outcomes[0], ECANCELED));
    EXPECT_TRUE(Refused(outcomes[1], ECANCELED));
}

// ---- descriptors left for the program ----

struct Exhausted {
    int Opened = 0;    // handles opened before the first refusal
    int Error = 0;     // the refusal's errno
    int FreeAfter = 0; // descriptors the process could still open
};

// Opens up to 100 handles under a limit leaving Room descriptors above the
// reserve, then counts what remains free.
Exhausted OpenUntilRefused(int Room) {
    // The module reckons every descriptor below a new one in use and those
    // above it free: fill the gaps first, so that this holds here.
    int highest = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    int lowest = 0;
    while ((lowest = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 && lowest < highest) {
    }
    close(lowest);
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(lowest + IcmpDescriptorReserve + Room);
    Exhausted e;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        return e;
    for (; e.Opened < 100; ++e.Opened) {
        if (Icmp().Create() == ICMP_INVALID_HANDLE) {
            e.Error = errno;
            break;
        }
    }
    while (open("/dev/null", O_RDONLY | O_CLOEXEC) >= 0)
        ++e.FreeAfter;
    return e;
}

TEST_F(IcmpModule, HandlesLeaveAReserveOfDescriptors) {
    const std::string unavailable = netns::UnavailableReason();
    if (!unavailable.empty())
        GTEST_SKIP() << "needs a network namespace to choose the socket kind: " << unavailable;
    netns::RemoveLeftovers(NamespacePrefix);
    netns::Namespace ns(NamespacePrefix + std::to_string(getpid()) + "-reserve");
    for (const SocketKind kind : {SocketKind::Datagram, SocketKind::Raw}) {
        SCOPED_TRACE(kind == SocketKind::Raw ? "raw" : "datagram");
        ns.Sysctl("net.ipv4.ping_group_range",
                  kind == SocketKind::Datagram ? "0 2147483647" : "1 0");
        for (const int room : {3, 0}) {
            SCOPED_TRACE("room for " + std::to_string(room));
            const Exhausted e = Unpack<Exhausted>(ns.RunInside(
                [room] { return Pack(std::vector<Exhausted>{OpenUntilRefused(room)}); }))[0];
            // A datagram handle holds a descriptor of its own; raw handles
            // share one socket and its reader's wake-up, two in all.
            const int expected = kind == SocketKind::Datagram ? room : room >= 2 ? 100 : 0;
            EXPECT_EQ(e.Opened, expected);
            if (expected < 100) {
                EXPECT_EQ(e.Error, EMFILE);
            }
            EXPECT_GE(e.FreeAfter, IcmpDescriptorReserve);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sockets, IcmpNamespaces,
                         testing::Values(SocketKind::Datagram, SocketKind::Raw),
                         [](const testing::TestParamInfo<SocketKind>& info) {
                             return info.param == SocketKind::Raw ? "Raw" : "Datagram";
                         });

} // namespace
