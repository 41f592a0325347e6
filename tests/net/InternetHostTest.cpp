#include "net/qsInternetHost.h"
#include "platform/Sockets.h"
#include "tests/support/FakeIcmp.h"
#include "tests/support/InChild.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

uint32_t Quad(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t octets[4] = {a, b, c, d};
    uint32_t address;
    std::memcpy(&address, octets, 4);
    return address;
}

// A session for the test's lifetime, and lookups answered without any name server.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        Session = std::make_unique<TqsWinsock>(nullptr);
        Session->SetActive(true);
    }
    void TearDown() override {
        platform::SetLookupHook(nullptr);
        Session.reset();
    }
    std::unique_ptr<TqsWinsock> Session;
};

TEST(DottedQuad, AcceptedForms) {
    for (const char* text :
         {"10.0.0.1", " 10.0.0.1 ", "10 . 0 . 0 . 1", "010.000.000.001", "  10  .0.  0.1  "}) {
        TqsInternetHost host(nullptr);
        host.SetHostName(text);
        EXPECT_EQ(host.HostName(), "10.0.0.1") << '"' << text << '"';
        EXPECT_EQ(host.Address(), Quad(10, 0, 0, 1));
        EXPECT_TRUE(host.IsIPAddress(text));
    }
    TqsInternetHost host(nullptr);
    EXPECT_TRUE(host.IsIPAddress("255.255.255.255"));
    EXPECT_TRUE(host.IsIPAddress("0000000000001.2.3.4"));
}

TEST(DottedQuad, RejectedFormsBecomeNames) {
    for (const char* text : {"1.2.3", "1.2.3.4.5", "1..2.3", "256.1.1.1", "1.2.3.-4", "1.2.3.4a",
                             "1.2.3   ", "   1.2.3", "1.2.3.", ".1.2.3.4", "", "1.2.3.4 5",
                             "99999999999999999999.1.1.1", "1.2.3.4\t", "1.2.3.400"}) {
        TqsInternetHost host(nullptr);
        EXPECT_FALSE(host.IsIPAddress(text)) << '"' << text << '"';
        host.SetHostName(text);
        EXPECT_EQ(host.HostName(), text);
        EXPECT_EQ(host.Address(), 0u);
        EXPECT_FALSE(host.Resolved());
    }
}

TEST(DottedQuad, SettingTheSameAddressChangesNothing) {
    TqsInternetHost fresh(nullptr);
    fresh.SetHostName("0.0.0.0");
    EXPECT_EQ(fresh.HostName(), ""); // the address was already 0
    TqsInternetHost host(nullptr);
    host.SetHostName("10.0.0.1");
    host.SetHostName("printer1");
    host.SetHostName("010.0.0.1"); // same address as held: the name stays
    EXPECT_EQ(host.HostName(), "printer1");
}

TEST(DottedQuad, InvalidTextGivenDirectlyIsAnErrorAndChangesNothing) {
    TqsInternetHost host(nullptr);
    host.SetHostName("10.0.0.1");
    try {
        host.SetIPAddress("1.2.3");
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "1.2.3 is not a valid IP address");
    }
    EXPECT_EQ(host.HostName(), "10.0.0.1");
}

TEST_F(HostTest, LookupOfLocalhostFiresBothEventsOnceUntilTheNameChanges) {
    TqsInternetHost host(nullptr);
    host.SetWinsock(Session.get());
    std::vector<std::string> events;
    host.OnBeginResolve = [&](TObject* sender, const std::string& message) {
        EXPECT_EQ(sender, &host);
        events.push_back(message);
    };
    host.OnEndResolve = [&](TObject*) { events.push_back("end"); };
    host.SetHostName("localhost");
    host.Resolve();
    EXPECT_TRUE(host.Resolved());
    EXPECT_EQ(host.IPAddress(), "127.0.0.1");
    EXPECT_EQ(host.HostName(), "localhost");
    ASSERT_EQ(events, (std::vector<std::string>{"Looking up localhost...", "end"}));
    host.Resolve();
    EXPECT_EQ(events.size(), 2u);
    host.SetHostName("LOCALHOST");
    EXPECT_FALSE(host.Resolved());
    EXPECT_EQ(host.IPAddress(), "127.0.0.1"); // kept until the next lookup
}

TEST_F(HostTest, FailedLookupKeepsTheAddressAndRaisesNothing) {
    std::vector<std::string> asked;
    platform::SetLookupHook([&](const std::string& name) -> std::optional<uint32_t> {
        asked.push_back(name);
        return std::nullopt;
    });
    TqsInternetHost host(nullptr);
    host.SetWinsock(Session.get());
    host.SetHostName("10.1.2.3");
    host.SetHostName("printer1");
    int begins = 0, ends = 0;
    host.OnBeginResolve = [&](TObject*, const std::string&) { ++begins; };
    host.OnEndResolve = [&](TObject*) { ++ends; };
    host.Resolve();
    host.Resolve(); // still unresolved: looked up again
    EXPECT_FALSE(host.Resolved());
    EXPECT_EQ(host.Address(), Quad(10, 1, 2, 3));
    EXPECT_EQ(begins, 2);
    EXPECT_EQ(ends, 2);
    EXPECT_EQ(asked, (std::vector<std::string>{"printer1", "printer1"}));
}

TEST_F(HostTest, NameThatNeverResolvesIsPingedAtAddressZero) {
    platform::SetLookupHook([](const std::string&) { return std::optional<uint32_t>(); });
    FakeIcmp fake;
    TqsInternetHost host(nullptr);
    host.SetWinsock(Session.get());
    host.SetHostName("nowhere");
    TqsPingDefaults settings;
    settings.SetInterval(0);
    host.SetPingSettings(&settings);
    // StartPing leaves the lookup to the worker: its events fire there.
    std::vector<std::thread::id> eventThreads;
    host.OnBeginResolve = [&](TObject*, const std::string& message) {
        EXPECT_EQ(message, "Looking up nowhere...");
        eventThreads.push_back(std::this_thread::get_id());
    };
    host.OnEndResolve = [&](TObject*) { eventThreads.push_back(std::this_thread::get_id()); };
    std::mutex lock;
    std::condition_variable done;
    std::vector<TPingResult> results;
    host.OnPingReply = [&](TObject* sender, TqsPingReply* reply) {
        EXPECT_EQ(sender, &host);
        std::lock_guard<std::mutex> guard(lock);
        results.push_back(reply->Result);
        done.notify_all();
    };
    host.StartPing();
    EXPECT_TRUE(host.Pinging());
    host.WaitForPing();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], prBadDestination);
    EXPECT_STREQ(PingResultText[results[0]], "Bad Destination");
    EXPECT_EQ(fake.Sends(), 0);
    ASSERT_EQ(eventThreads.size(), 2u);
    EXPECT_NE(eventThreads[0], std::this_thread::get_id());
    EXPECT_FALSE(host.Resolved());
    EXPECT_EQ(host.Address(), 0u);
}

// A lookup hook that holds every lookup until released (or 20 s pass, so a
// lookup made on the caller's thread fails the test instead of hanging it).
// Shared with the hook, as a lookup may end after the test that began it.
struct HeldLookups {
    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<std::string> Asked;
    int Answered = 0;
    bool Released = false;
    std::optional<uint32_t> Answer;

    static platform::LookupHook Hook(const std::shared_ptr<HeldLookups>& held) {
        return [held](const std::string& name) {
            std::unique_lock<std::mutex> lock(held->Lock);
            held->Asked.push_back(name);
            held->Changed.notify_all();
            held->Changed.wait_for(lock, std::chrono::seconds(20), [&] { return held->Released; });
            ++held->Answered;
            return held->Answer;
        };
    }
    void WaitUntilAsked(size_t count) {
        std::unique_lock<std::mutex> lock(Lock);
        Changed.wait_for(lock, std::chrono::seconds(20), [&] { return Asked.size() >= count; });
    }
    int AnsweredNow() {
        std::lock_guard<std::mutex> lock(Lock);
        return Answered;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(Lock);
        Released = true;
        Changed.notify_all();
    }
};

TEST_F(HostTest, StartAndStopNeverWaitForALookupAndItsOutcomeIsKeptForLaterStarts) {
    auto held = std::make_shared<HeldLookups>();
    held->Answer = Quad(127, 0, 0, 7);
    platform::SetLookupHook(HeldLookups::Hook(held));
    FakeIcmp fake;
    TqsInternetHost host(nullptr);
    host.SetWinsock(Session.get());
    host.SetHostName("printer1");
    std::mutex lock;
    std::condition_variable replied;
    std::vector<std::string> replyAddresses;
    host.OnPingReply = [&](TObject*, TqsPingReply* reply) {
        std::lock_guard<std::mutex> guard(lock);
        replyAddresses.push_back(reply->IPAddress);
        replied.notify_all();
    };

    // Stopped while its lookup is held: no echo, nothing learnt.
    host.StartPing();
    EXPECT_EQ(held->AnsweredNow(), 0) << "StartPing waited for the lookup";
    held->WaitUntilAsked(1);
    host.StopPing();
    EXPECT_EQ(held->AnsweredNow(), 0) << "StopPing waited for the lookup";
    EXPECT_FALSE(host.Pinging());
    EXPECT_FALSE(host.Resolved());
    EXPECT_EQ(fake.Sends(), 0);

    // Started again: a new lookup, whose answer is pinged and kept.
    held->Release();
    host.StartPing();
    {
        std::unique_lock<std::mutex> guard(lock);
        ASSERT_TRUE(replied.wait_for(guard, std::chrono::seconds(20),
                                     [&] { return !replyAddresses.empty(); }));
        EXPECT_EQ(replyAddresses[0], "127.0.0.7");
    }
    host.StopPing();
    EXPECT_TRUE(host.Resolved());
    EXPECT_EQ(host.IPAddress(), "127.0.0.7");
    EXPECT_EQ(host.HostName(), "printer1");
    host.StartPing(); // resolved: no new lookup
    host.StopPing();
    held->WaitUntilAsked(2);
    std::lock_guard<std::mutex> guard(held->Lock);
    EXPECT_EQ(held->Asked, (std::vector<std::string>{"printer1", "printer1"}));
}

// A lookup that never ends must not stand in the way of a normal exit, with
// its static destructors (and, in sanitized builds, the leak check).
TEST_F(HostTest, ExitWithALookupInFlightIsClean) {
#if defined(__SANITIZE_THREAD__)
    // Earlier tests may leave idle lookup threads behind for a while.
    if (std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}) > 1)
        GTEST_SKIP() << "ThreadSanitizer cannot start threads in a child forked from a process "
                        "with threads; run this test on its own (ctest does)";
#endif
    const auto [status, out] = InChild([] {
        alarm(20); // a hang fails the test
        static std::atomic<bool> asked{false};
        platform::SetLookupHook([](const std::string&) -> std::optional<uint32_t> {
            asked = true;
            asked.notify_all();
            for (;;)
                pause();
        });
        FakeIcmp fake;
        TqsWinsock session(nullptr);
        session.SetActive(true);
        TqsInternetHost host(nullptr);
        host.SetWinsock(&session);
        host.SetHostName("printer1");
        host.StartPing();
        asked.wait(false);
        host.StopPing();
        std::exit(0);
        return std::string();
    });
    EXPECT_EQ(status, 0) << out;
}

TEST(InternetHost, NameLookupWithoutSessionFailsBeforeAnyEvent) {
    FakeIcmp fake;
    TqsInternetHost host(nullptr);
    int events = 0;
    host.OnBeginResolve = [&](TObject*, const std::string&) { ++events; };
    host.SetHostName("printer1");
    try {
        host.StartPing();
        FAIL() << "no error";
    } catch (const EWinsockError& e) {
        EXPECT_STREQ(e.what(), "Program Error: Windows Sockets has not been activated");
    }
    EXPECT_EQ(events, 0);
    EXPECT_FALSE(host.Pinging());
    // A dotted quad needs no session.
    host.SetHostName("127.0.0.1");
    host.StartPing();
    EXPECT_TRUE(host.Pinging());
    EXPECT_TRUE(host.Resolved());
    host.StopPing();
}

TEST(InternetHost, ChangesStopAPingingHost) {
    FakeIcmp fake;
    TqsInternetHost host(nullptr);
    host.SetHostName("127.0.0.1");
    TqsPingDefaults same;
    same.Assign(host.PingSettings());
    host.StartPing();
    host.SetPingSettings(&same); // equal values still stop it
    EXPECT_FALSE(host.Pinging());

    host.StartPing();
    host.PingSettings()->SetTimeout(5);
    EXPECT_FALSE(host.Pinging());

    host.StartPing();
    host.SetHostName("127.0.0.2");
    EXPECT_FALSE(host.Pinging());

    host.StartPing();
    host.SetHostName("localhost");
    EXPECT_FALSE(host.Pinging());
    EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST(InternetHost, StopWithoutWorkerOnlyClearsPinging) {
    TqsInternetHost host(nullptr);
    host.StopPing();
    host.WaitForPing();
    host.TerminatePing();
    EXPECT_FALSE(host.Pinging());
}

TEST(InternetHost, IcmpFailureLeavesHostStopped) {
    FakeIcmp fake;
    fake.FailCreate(true);
    TqsInternetHost host(nullptr);
    host.SetHostName("127.0.0.1");
    EXPECT_THROW(host.StartPing(), EICMPError);
    EXPECT_FALSE(host.Pinging());
}

TEST(InternetHost, TwoPhaseStopOfManyHosts) {
    FakeIcmp fake;
    fake.Block(); // every worker sits inside its echo
    std::vector<std::unique_ptr<TqsInternetHost>> hosts;
    for (int i = 0; i < 50; ++i) {
        hosts.push_back(std::make_unique<TqsInternetHost>(nullptr));
        hosts.back()->SetHostName("127.0.0." + std::to_string(i + 1));
        hosts.back()->PingSettings()->SetInterval(60 * 60 * 1000);
        hosts.back()->StartPing();
    }
    fake.WaitForSend(50);
    for (auto& host : hosts)
        host->TerminatePing();
    fake.Release();
    for (auto& host : hosts)
        host->WaitForPing();
    for (auto& host : hosts)
        EXPECT_FALSE(host->Pinging());
    EXPECT_EQ(fake.Sends(), 50);
    EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST(InternetHost, RestartReplacesTheWorker) {
    FakeIcmp fake;
    TqsInternetHost host(nullptr);
    host.SetHostName("127.0.0.1");
    host.StartPing();
    host.StartPing();
    EXPECT_TRUE(host.Pinging());
    EXPECT_EQ(fake.OpenHandles(), 1);
    host.StopPing();
    EXPECT_EQ(fake.OpenHandles(), 0);
}

} // namespace
