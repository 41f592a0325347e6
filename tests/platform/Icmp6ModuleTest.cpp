// The module's ICMPv6 entry points: echoes to ::1 from this process, and
// everything else inside namespaces built per test (host -> router -> far),
// on unique-local fd00:77::/32 addresses that lead nowhere else.

#include "platform/IcmpApi.h"
#include "tests/platform/Netns.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <limits.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Module6 {
    PIcmp6CreateFile Create = nullptr;
    PIcmp6SendEcho2 Send = nullptr;
    PIcmpCloseHandle Close = nullptr;
    PIcmpCancelEcho Cancel = nullptr;
    PIcmpSendEcho Send4 = nullptr;
    std::string Error;
};

const Module6& Icmp6() {
    static const Module6 module = [] {
        Module6 m;
        char exe[PATH_MAX] = {};
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
        std::string path(exe, n > 0 ? static_cast<size_t>(n) : 0);
        path = path.substr(0, path.rfind('/') + 1) + "icmp.so";
        void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            m.Error = dlerror();
            return m;
        }
        m.Create = reinterpret_cast<PIcmp6CreateFile>(dlsym(library, "Icmp6CreateFile"));
        m.Send = reinterpret_cast<PIcmp6SendEcho2>(dlsym(library, "Icmp6SendEcho2"));
        m.Close = reinterpret_cast<PIcmpCloseHandle>(dlsym(library, "IcmpCloseHandle"));
        m.Cancel = reinterpret_cast<PIcmpCancelEcho>(dlsym(library, "IcmpCancelEcho"));
        m.Send4 = reinterpret_cast<PIcmpSendEcho>(dlsym(library, "IcmpSendEcho"));
        if (!m.Create || !m.Send || !m.Close || !m.Cancel || !m.Send4)
            m.Error = path + " lacks an ICMPv6 entry point";
        return m;
    }();
    return module;
}

struct Request6 {
    std::string To; // text for inet_pton
    uint32_t Scope = 0;
    uint16_t Size = 64;
    int Hops = -1; // -1: no options
    uint32_t Timeout = 1000;
    std::string From; // source address; empty: the system's choice
};

// Flat, so that it crosses the pipe from a child in another namespace.
struct Outcome6 {
    uint32_t Returned = 0;
    int Error = 0;
    uint32_t Status = 0;
    char From[INET6_ADDRSTRLEN] = {};
    uint32_t Scope = 0;
    uint32_t DataSize = 0;
    bool DataMatches = false;
    uint32_t ElapsedMs = 0;
};
static_assert(std::is_trivially_copyable_v<Outcome6>);

Outcome6 SendEcho6(IcmpHandle handle, const Request6& r) {
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_scope_id = r.Scope;
    inet_pton(AF_INET6, r.To.c_str(), &to.sin6_addr);
    sockaddr_in6 from{};
    from.sin6_family = AF_INET6;
    inet_pton(AF_INET6, r.From.c_str(), &from.sin6_addr);
    std::vector<uint8_t> data(r.Size);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    const uint32_t replySize = static_cast<uint32_t>(sizeof(ICMPV6_ECHO_REPLY) + r.Size + 8);
    std::vector<uint64_t> buffer(replySize / 8 + 1);
    IP_OPTION_INFORMATION options{};
    options.Ttl = static_cast<uint8_t>(r.Hops);
    Outcome6 o;
    const auto started = Clock::now();
    errno = 0;
    o.Returned = Icmp6().Send(handle, nullptr, nullptr, nullptr, r.From.empty() ? nullptr : &from,
                              &to, data.data(), r.Size, r.Hops >= 0 ? &options : nullptr,
                              buffer.data(), replySize, r.Timeout);
    o.Error = errno;
    o.ElapsedMs = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
    if (o.Returned == 0)
        return o;
    const auto* reply = reinterpret_cast<const ICMPV6_ECHO_REPLY*>(buffer.data());
    o.Status = reply->Status;
    inet_ntop(AF_INET6, reply->Address.sin6_addr, o.From, sizeof(o.From));
    o.Scope = reply->Address.sin6_scope_id;
    o.DataSize = reply->DataSize;
    o.DataMatches = o.DataSize == r.Size &&
                    (data.empty() || std::memcmp(reply + 1, data.data(), data.size()) == 0);
    return o;
}

std::string Describe(const Outcome6& o) {
    std::ostringstream text;
    if (o.Returned == 0)
        text << "returned 0 with error " << o.Error;
    else
        text << "status " << o.Status << " from " << o.From << "%" << o.Scope << ", " << o.DataSize
             << " bytes" << (o.DataMatches ? " (as sent)" : "");
    return text.str() + " after " + std::to_string(o.ElapsedMs) + " ms";
}

testing::AssertionResult Echoed(const Outcome6& o, const Request6& r) {
    if (o.Returned == 1 && o.Status == IP_SUCCESS && r.To == o.From && o.DataMatches)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "echo to " << r.To << ": " << Describe(o);
}

testing::AssertionResult Failed(const Outcome6& o, uint32_t status, const std::string& from) {
    if (o.Returned == 1 && o.Status == status && from == o.From && o.DataSize == 0)
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "expected status " << status << " from " << from << ", " << Describe(o);
}

testing::AssertionResult Refused(const Outcome6& o, int error) {
    if (o.Returned == 0 && o.Error == error)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "expected error " << error << ", " << Describe(o);
}

Request6 To(const std::string& address, uint16_t size = 64, uint32_t timeout = 1000) {
    Request6 r;
    r.To = address;
    r.Size = size;
    r.Timeout = timeout;
    return r;
}

TEST(Icmp6Loopback, EchoesAndRefusesBadRequests) {
    ASSERT_EQ(Icmp6().Error, "");
    const IcmpHandle handle = Icmp6().Create();
    if (handle == ICMP_INVALID_HANDLE && (errno == EACCES || errno == EPERM))
        GTEST_SKIP() << "This user may open no ICMPv6 socket";
    ASSERT_NE(handle, ICMP_INVALID_HANDLE) << errno;
    for (const uint16_t size : {0, 64, 4096})
        EXPECT_TRUE(Echoed(SendEcho6(handle, To("::1", size)), To("::1", size)));
    EXPECT_TRUE(Refused(SendEcho6(handle, To("::")), IP_BAD_DESTINATION));
    EXPECT_TRUE(Refused(SendEcho6(handle, To("ff02::1")), IP_BAD_DESTINATION));
    Request6 zero = To("::1");
    zero.Hops = 0;
    EXPECT_TRUE(Refused(SendEcho6(handle, zero), IP_BAD_OPTION));
    // The kinds of handle do not mix.
    char reply[256];
    errno = 0;
    EXPECT_EQ(Icmp6().Send4(handle, htonl(INADDR_LOOPBACK), nullptr, 0, nullptr, reply,
                            sizeof(reply), 100),
              0u);
    EXPECT_EQ(errno, static_cast<int>(IP_BAD_REQ));
    EXPECT_NE(Icmp6().Close(handle), 0);
}

// ---- host -> router -> far, in namespaces ----

enum class SocketKind { Datagram, Raw };

const char* const HostAddress = "fd00:77:1::2";
const char* const RouterAddress = "fd00:77:1::1";
const char* const RouterLinkLocal = "fe80::77:1";
const char* const FarAddress = "fd00:77:2::2";
const char* const Unreachable = "fd00:77:10::1"; // router: unreachable route
const char* const Prohibited = "fd00:77:11::1";  // router: prohibit route
const char* const Blackholed = "fd00:77:13::1";  // router: blackhole route
const char* const NoNeighbour = "fd00:77:2::99"; // on the far link, nobody there
const char* const LocalUnreach = "fd00:77:20::1";
const char* const LocalProhibit = "fd00:77:21::1";

void WaitUntilUp(const netns::Namespace& ns, const std::string& dev) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    std::string output;
    while (Clock::now() < deadline) {
        netns::Run({"ip", "-n", ns.Name(), "link", "show", "dev", dev}, &output);
        if (output.find("state UP") != std::string::npos)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error(dev + " in " + ns.Name() + " did not come up: " + output);
}

std::string Mac(const netns::Namespace& ns, const std::string& dev) {
    std::string output;
    netns::Run({"ip", "-n", ns.Name(), "-o", "link", "show", "dev", dev}, &output);
    const size_t at = output.find("link/ether ");
    if (at == std::string::npos)
        throw std::runtime_error("no MAC address for " + dev + ": " + output);
    return output.substr(at + 11, 17);
}

// Enters the neighbour Address, which is ThereDev in There, on Dev of Here.
void Neighbour(const netns::Namespace& Here, const std::string& Dev, const std::string& Address,
               const netns::Namespace& There, const std::string& ThereDev) {
    Here.Ip({"-6", "neigh", "replace", Address, "lladdr", Mac(There, ThereDev), "dev", Dev, "nud",
             "permanent"});
}

class Lab6 {
public:
    Lab6(const std::string& prefix, SocketKind kind)
        : Host(prefix + "host"), Router(prefix + "router"), Far(prefix + "far") {
        for (const netns::Namespace* ns : {&Host, &Router, &Far}) {
            ns->Sysctl("net.ipv6.conf.all.disable_ipv6", "0");
            ns->Sysctl("net.ipv6.conf.default.disable_ipv6", "0");
        }
        Host.Ip({"link", "add", "name", "eth0", "type", "veth", "peer", "name", "h0", "netns",
                 Router.Name()});
        Router.Ip({"link", "add", "name", "f0", "type", "veth", "peer", "name", "eth0", "netns",
                   Far.Name()});
        // The far link is narrow: a 1400-byte echo does not pass it whole.
        Router.Ip({"link", "set", "f0", "mtu", "1280"});
        Far.Ip({"link", "set", "eth0", "mtu", "1280"});
        Host.Ip({"addr", "add", std::string(HostAddress) + "/64", "dev", "eth0", "nodad"});
        Router.Ip({"addr", "add", std::string(RouterAddress) + "/64", "dev", "h0", "nodad"});
        Router.Ip({"addr", "add", std::string(RouterLinkLocal) + "/64", "dev", "h0", "nodad"});
        Router.Ip({"addr", "add", "fd00:77:2::1/64", "dev", "f0", "nodad"});
        Far.Ip({"addr", "add", std::string(FarAddress) + "/64", "dev", "eth0", "nodad"});
        for (const auto& [ns, dev] : {std::pair{&Host, "eth0"}, std::pair{&Router, "h0"},
                                      std::pair{&Router, "f0"}, std::pair{&Far, "eth0"}})
            ns->Ip({"link", "set", dev, "up"});
        // The first neighbour solicitations on new links go unanswered for a
        // while; known neighbours are entered so that no echo waits on them.
        for (const auto& [ns, dev] : {std::pair{&Host, "eth0"}, std::pair{&Router, "h0"},
                                      std::pair{&Router, "f0"}, std::pair{&Far, "eth0"}})
            WaitUntilUp(*ns, dev);
        Neighbour(Host, "eth0", RouterAddress, Router, "h0");
        Neighbour(Host, "eth0", RouterLinkLocal, Router, "h0");
        Neighbour(Router, "h0", HostAddress, Host, "eth0");
        Neighbour(Router, "f0", FarAddress, Far, "eth0");
        Neighbour(Far, "eth0", "fd00:77:2::1", Router, "f0");

        Host.Ip({"-6", "route", "add", "fd00:77::/32", "via", RouterAddress});
        Host.Ip({"-6", "route", "add", "unreachable", "fd00:77:20::/64"});
        Host.Ip({"-6", "route", "add", "prohibit", "fd00:77:21::/64"});
        Host.Sysctl("net.ipv4.ping_group_range",
                    kind == SocketKind::Datagram ? "0 2147483647" : "1 0");

        Router.Ip({"-6", "route", "add", "unreachable", "fd00:77:10::/64"});
        Router.Ip({"-6", "route", "add", "prohibit", "fd00:77:11::/64"});
        Router.Ip({"-6", "route", "add", "blackhole", "fd00:77:13::/64"});
        Router.Sysctl("net.ipv6.conf.all.forwarding", "1");
        Router.Sysctl("net.ipv6.icmp.ratelimit", "0");
        Router.Sysctl("net.ipv6.neigh.f0.mcast_solicit", "2");

        Far.Ip({"-6", "route", "add", "fd00:77::/32", "via", "fd00:77:2::1"});
    }

    netns::Namespace Host, Router, Far;
};

const std::string NamespacePrefix = "sentrel-icmp6-";

long long Echo6RequestsSent() {
    std::ifstream snmp("/proc/net/snmp6");
    std::string name;
    long long value = 0;
    while (snmp >> name >> value)
        if (name == "Icmp6OutEchos")
            return value;
    return -1;
}

class Icmp6Namespaces : public testing::TestWithParam<SocketKind> {
protected:
    void SetUp() override {
        ASSERT_EQ(Icmp6().Error, "");
        static const std::string unavailable = netns::UnavailableReason();
        if (!unavailable.empty())
            GTEST_SKIP() << "Skipping the ICMPv6 namespace tests: " << unavailable;
        netns::RemoveLeftovers(NamespacePrefix);
        static int counter = 0;
        const std::string prefix =
            NamespacePrefix + std::to_string(getpid()) + "-" + std::to_string(++counter) + "-";
        try {
            lab = std::make_unique<Lab6>(prefix, GetParam());
        } catch (const std::exception& e) {
            FAIL() << "could not build the test network: " << e.what();
        }
    }
    void TearDown() override { lab.reset(); }

    // Sends the requests one after another over one handle, from the host.
    std::vector<Outcome6> FromHost(const std::vector<Request6>& requests) {
        const std::string bytes = lab->Host.RunInside([&] {
            const IcmpHandle handle = Icmp6().Create();
            if (handle == ICMP_INVALID_HANDLE)
                return std::string();
            std::string packed(1, static_cast<char>(SocketType()));
            for (Request6 r : requests) {
                if (r.To.rfind("fe80:", 0) == 0)
                    r.Scope = if_nametoindex("eth0");
                const Outcome6 o = SendEcho6(handle, r);
                packed.append(reinterpret_cast<const char*>(&o), sizeof(o));
            }
            Icmp6().Close(handle);
            return packed;
        });
        EXPECT_FALSE(bytes.empty()) << "no handle in the host namespace";
        std::vector<Outcome6> outcomes(requests.size());
        if (bytes.size() == 1 + requests.size() * sizeof(Outcome6)) {
            EXPECT_EQ(bytes[0], GetParam() == SocketKind::Raw ? SOCK_RAW : SOCK_DGRAM)
                << "the module chose another socket kind";
            std::memcpy(static_cast<void*>(outcomes.data()), bytes.data() + 1, bytes.size() - 1);
        }
        return outcomes;
    }

    static int SocketType() {
        for (int fd = 3; fd < 1024; ++fd) {
            int type = 0, protocol = 0;
            socklen_t size = sizeof(int);
            if (getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &size) == 0 &&
                protocol == IPPROTO_ICMPV6 &&
                getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0)
                return type;
        }
        return 0;
    }

    std::unique_ptr<Lab6> lab;
};

TEST_P(Icmp6Namespaces, EchoesThroughTheRouterAndOnTheLink) {
    Request6 twoHops = To(FarAddress);
    twoHops.Hops = 2;
    twoHops.From = HostAddress;
    const std::vector<Request6> requests{To(FarAddress, 1), To(FarAddress, 1000), twoHops,
                                         To(RouterAddress), To(RouterLinkLocal)};
    const auto outcomes = FromHost(requests);
    for (size_t i = 0; i < requests.size(); ++i)
        EXPECT_TRUE(Echoed(outcomes[i], requests[i])) << i;
    EXPECT_NE(outcomes[4].Scope, 0u) << "a link-local reply keeps its zone";
}

TEST_P(Icmp6Namespaces, RouterErrorsBecomeStatusCodes) {
    Request6 oneHop = To(FarAddress);
    oneHop.Hops = 1;
    const auto outcomes = FromHost({To(Unreachable), To(Prohibited), oneHop, To(FarAddress, 1400),
                                    To(FarAddress, 1400), To(NoNeighbour, 64, 5000)});
    EXPECT_TRUE(Failed(outcomes[0], IP_DEST_NET_UNREACHABLE, RouterAddress));  // code 0
    EXPECT_TRUE(Failed(outcomes[1], IP_DEST_HOST_UNREACHABLE, RouterAddress)); // code 1
    EXPECT_TRUE(Failed(outcomes[2], IP_TTL_EXPIRED_TRANSIT, RouterAddress));
    EXPECT_TRUE(Failed(outcomes[3], IP_PACKET_TOO_BIG, RouterAddress));
    // The host has learnt the path's MTU and now fragments to fit it.
    EXPECT_TRUE(Echoed(outcomes[4], To(FarAddress, 1400)));
    EXPECT_TRUE(Failed(outcomes[5], IP_DEST_HOST_UNREACHABLE, RouterAddress)); // code 3
}

TEST_P(Icmp6Namespaces, LocalRouteErrorsFailTheSendAndSilenceTimesOut) {
    const auto outcomes =
        FromHost({To(LocalUnreach), To(LocalProhibit), To(Blackholed, 64, 300), To(FarAddress)});
    // An IPv6 unreachable route fails the send with EHOSTUNREACH, not ENETUNREACH.
    EXPECT_TRUE(Refused(outcomes[0], IP_DEST_HOST_UNREACHABLE));
    EXPECT_TRUE(Refused(outcomes[1], IP_DEST_HOST_UNREACHABLE));
    EXPECT_TRUE(Refused(outcomes[2], IP_REQ_TIMED_OUT));
    EXPECT_GE(outcomes[2].ElapsedMs, 250u);
    EXPECT_LE(outcomes[2].ElapsedMs, 3000u);
    EXPECT_TRUE(Echoed(outcomes[3], To(FarAddress))) << "a failed echo must not linger";
}

TEST_P(Icmp6Namespaces, ACancelledEchoEndsAtOnceAndSoDoLaterOnes) {
    const uint32_t hour = 60 * 60 * 1000;
    const std::string bytes = lab->Host.RunInside([&] {
        const IcmpHandle handle = Icmp6().Create();
        if (handle == ICMP_INVALID_HANDLE)
            return std::string();
        const long long sentBefore = Echo6RequestsSent();
        Outcome6 blocked;
        std::thread sender([&] { blocked = SendEcho6(handle, To(Blackholed, 64, hour)); });
        while (Echo6RequestsSent() == sentBefore)
            std::this_thread::yield();
        Icmp6().Cancel(handle);
        sender.join();
        const Outcome6 later = SendEcho6(handle, To(FarAddress, 64, hour));
        Icmp6().Close(handle);
        std::string packed(reinterpret_cast<const char*>(&blocked), sizeof(blocked));
        return packed.append(reinterpret_cast<const char*>(&later), sizeof(later));
    });
    ASSERT_EQ(bytes.size(), 2 * sizeof(Outcome6)) << "no handle in the host namespace";
    Outcome6 outcomes[2];
    std::memcpy(static_cast<void*>(outcomes), bytes.data(), bytes.size());
    EXPECT_TRUE(Refused(outcomes[0], ECANCELED));
    EXPECT_TRUE(Refused(outcomes[1], ECANCELED));
}

INSTANTIATE_TEST_SUITE_P(Sockets, Icmp6Namespaces,
                         testing::Values(SocketKind::Datagram, SocketKind::Raw),
                         [](const testing::TestParamInfo<SocketKind>& info) {
                             return info.param == SocketKind::Raw ? "Raw" : "Datagram";
                         });

} // namespace
