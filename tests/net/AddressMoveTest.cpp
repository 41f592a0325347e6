// Which address a name stands for (both kinds, by preference), IPv6 literals,
// and a worker that follows a name whose address moves. Lookups are answered
// by the test's hook; echoes go to the fake ICMP module.

#include "net/qsInternetHost.h"
#include "platform/Sockets.h"
#include "tests/support/FakeIcmp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr uint32_t TenOneFive = 0x0500000a; // 10.0.0.5
constexpr uint32_t TenOneNine = 0x0900000a; // 10.0.0.9

platform::TResolvedAddress6 V6(uint8_t Last, uint32_t Scope = 0) {
    platform::TResolvedAddress6 address;
    address.Bytes = {0xfd, 0x00, 0x00, 0x77};
    address.Bytes[15] = Last;
    address.ScopeId = Scope;
    return address;
}

TEST(AddressChoice, PreferenceWithFallbackAndIPv4Only) {
    const platform::TResolvedAddresses both{{TenOneFive, TenOneNine}, {V6(1), V6(2)}};
    const platform::TResolvedAddresses only4{{TenOneNine}, {}};
    const platform::TResolvedAddresses only6{{}, {V6(2, 3)}};
    using P = TAddressPreference;
    EXPECT_EQ(ChooseAddress(both, P::IPv4First)->IPv4, TenOneFive);
    EXPECT_EQ(FormatIPv6Address(*ChooseAddress(both, P::IPv6First)->IPv6), "fd00:77::1");
    EXPECT_EQ(ChooseAddress(both, P::IPv4Only)->IPv4, TenOneFive);
    EXPECT_EQ(ChooseAddress(only4, P::IPv6First)->IPv4, TenOneNine);
    // A scope id from the resolver comes back as a numbered zone.
    EXPECT_EQ(FormatIPv6Address(*ChooseAddress(only6, P::IPv4First)->IPv6), "fd00:77::2%3");
    EXPECT_FALSE(ChooseAddress(only6, P::IPv4Only));
}

// A session, a fake module and a hook whose answer the test changes.
class AddressMoveTest : public ::testing::Test {
protected:
    void SetUp() override {
        Session = std::make_unique<TqsWinsock>(nullptr);
        Session->SetActive(true);
        platform::SetAddressLookupHook([this](const std::string& name) {
            std::unique_lock<std::mutex> lock(Lock);
            Names.push_back(name);
            Changed.notify_all();
            Changed.wait(lock, [this] { return !Hold; });
            return Answer;
        });
    }
    void TearDown() override {
        Release();
        Host.reset();
        platform::SetAddressLookupHook(nullptr);
        Session.reset();
    }
    void SetAnswer(std::optional<platform::TResolvedAddresses> Value) {
        std::lock_guard<std::mutex> lock(Lock);
        Answer = std::move(Value);
    }
    void Release() {
        std::lock_guard<std::mutex> lock(Lock);
        Hold = false;
        Changed.notify_all();
    }
    // Starts probing Name every IntervalMs, replies recorded.
    void Start(const std::string& Name, uint32_t IntervalMs, uint32_t ResolveEveryMs) {
        Host = std::make_unique<TqsInternetHost>(nullptr);
        Host->SetWinsock(Session.get());
        Host->SetHostName(Name);
        Host->PingSettings()->SetInterval(IntervalMs);
        Host->PingSettings()->SetResolveEvery(ResolveEveryMs);
        Host->OnPingReply = [this](TObject*, TqsPingReply* reply) {
            std::lock_guard<std::mutex> lock(Lock);
            Replies.emplace_back();
            Replies.back().Assign(reply);
            Changed.notify_all();
        };
        Host->StartPing();
    }
    bool WaitUntil(const std::function<bool()>& Done) {
        std::unique_lock<std::mutex> lock(Lock);
        return Changed.wait_for(lock, 10s, Done);
    }

    FakeIcmp Fake{"", true};
    std::unique_ptr<TqsWinsock> Session;
    std::unique_ptr<TqsInternetHost> Host;
    std::mutex Lock;
    std::condition_variable Changed;
    std::optional<platform::TResolvedAddresses> Answer;
    bool Hold = false;
    std::vector<std::string> Names;
    std::deque<TqsPingReply> Replies;
};

TEST_F(AddressMoveTest, LiteralsAreTakenAsTheyAreAndNeverLookedUp) {
    for (const char* text : {"[FD00:77::0:1]", "fd00:77::1", "[fe80::1%7]"}) {
        TqsInternetHost host(nullptr);
        host.SetHostName(text);
        EXPECT_TRUE(host.IsIPv6()) << text;
        EXPECT_EQ(host.Address(), 0u);
        EXPECT_EQ(host.IPAddress(), host.HostName());
    }
    // Looks like IPv6 but is not: a bad destination, not a name to ask about.
    Start("fd00::77::1", 0, 0);
    Host->WaitForPing();
    ASSERT_EQ(Replies.size(), 1u);
    EXPECT_STREQ(Replies[0].ResultText(), "Bad Destination");
    Start("[fe80::1%7]", 0, 0);
    Host->WaitForPing();
    EXPECT_EQ(Fake.Sends6(), 1);
    EXPECT_EQ(Fake.LastScopeId(), 7u);
    EXPECT_TRUE(Names.empty());
}

TEST(AddressMove, ModuleWithoutIPv6SaysBadDestination) {
    FakeIcmp old("Icmp6SendEcho2");
    TqsInternetHost host(nullptr);
    host.SetHostName("::1");
    host.PingSettings()->SetInterval(0);
    TPingResult result = prUnknown;
    host.OnPingReply = [&](TObject*, TqsPingReply* reply) { result = reply->Result; };
    host.StartPing();
    host.WaitForPing();
    EXPECT_EQ(result, prBadDestination);
    EXPECT_EQ(old.Sends(), 0);
}

TEST_F(AddressMoveTest, MovedNameIsFollowedWithinThePeriodAcrossFamilies) {
    SetAnswer(platform::TResolvedAddresses{{TenOneFive}, {V6(2)}});
    Start("printer-2F", 20, 200);
    ASSERT_TRUE(WaitUntil([this] { return Replies.size() >= 2; }));
    EXPECT_EQ(Replies[0].IPAddress, "10.0.0.5");
    EXPECT_EQ(Fake.LastAddress(), TenOneFive);
    // The name loses its IPv4 address: the preferred kind falls back to IPv6.
    SetAnswer(platform::TResolvedAddresses{{}, {V6(2)}});
    const auto moved = [this] {
        return !Replies.empty() && Replies.back().IPAddress == "fd00:77::2";
    };
    ASSERT_TRUE(WaitUntil(moved));
    Host->StopPing();
    int changes = 0;
    for (const TqsPingReply& reply : Replies) {
        if (!reply.AddressChanged)
            continue;
        ++changes;
        EXPECT_EQ(reply.IPAddress, "fd00:77::2");
        EXPECT_EQ(reply.PreviousIPAddress, "10.0.0.5");
    }
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(Host->IPAddress(), "fd00:77::2");
    EXPECT_EQ(Fake.LastAddress6(), V6(2).Bytes);
    EXPECT_EQ(Fake.OpenHandles(), 0);
}

TEST_F(AddressMoveTest, ThreeFailuresLookTheNameUpAtOnceAndStopDoesNotWaitForIt) {
    Fake.Script({.Count = 0, .LastError = IP_REQ_TIMED_OUT});
    SetAnswer(platform::TResolvedAddresses{{TenOneFive}, {}});
    Start("printer-2F", 100, 0); // no periodic lookups: only failures cause one
    ASSERT_TRUE(WaitUntil([this] { return Replies.size() >= 1; }));
    {
        std::lock_guard<std::mutex> lock(Lock);
        Hold = true; // the next lookup hangs like a dead name server
    }
    ASSERT_TRUE(WaitUntil([this] { return Names.size() >= 2; }));
    {
        std::lock_guard<std::mutex> lock(Lock);
        EXPECT_LE(Replies.size(), 3u);
    }
    // The lookup is still held: a stop that waited for it would never return.
    Host->StopPing();
    EXPECT_FALSE(Host->Pinging());
}

} // namespace
