#include "net/qsInternetHost.h"
#include "net/qsWinsock.h"
#include "platform/Sockets.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

// Every test starts and must end with no session open.
class WinsockTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(platform::ActiveSessions(), 0); }
    void TearDown() override {
        platform::SetStartupResult(0);
        EXPECT_EQ(platform::ActiveSessions(), 0);
    }
};

TEST_F(WinsockTest, ActivatingTwiceStartsOnceAndDeactivatingIdleDoesNothing) {
    TqsWinsock session(nullptr);
    session.SetActive(false);
    EXPECT_EQ(platform::ActiveSessions(), 0);
    session.SetActive(true);
    session.SetActive(true);
    EXPECT_EQ(platform::ActiveSessions(), 1);
    session.SetActive(false);
    EXPECT_EQ(platform::ActiveSessions(), 0);
    EXPECT_FALSE(session.Active());
}

TEST_F(WinsockTest, StoredActiveStartsAtTheEndOfLoading) {
    TqsWinsock session(nullptr);
    session.BeginLoading();
    session.SetActive(true);
    EXPECT_TRUE(session.Active());
    EXPECT_EQ(platform::ActiveSessions(), 0);
    session.Loaded();
    EXPECT_TRUE(session.Active());
    EXPECT_EQ(platform::ActiveSessions(), 1);
}

TEST_F(WinsockTest, StopThenStartMakesLookupsWorkAgain) {
    TqsWinsock session(nullptr);
    session.SetActive(true);
    session.SetActive(false);
    EXPECT_FALSE(platform::GetHostByName("localhost")); // no session, no lookup
    session.SetActive(true);
    TqsInternetHost host(nullptr);
    host.SetWinsock(&session);
    host.SetHostName("localhost");
    host.Resolve();
    EXPECT_TRUE(host.Resolved());
}

TEST_F(WinsockTest, EveryStartupFailureHasItsMessage) {
    const std::pair<int, const char*> cases[] = {
        {10091, "Error initializing Winsock: underlying network subsystem is not ready for "
                "network communication."},
        {10092, "Error initializing Winsock: Winsock version 1.1 is not available on this "
                "platform."},
        {10036, "Error initializing Winsock: A blocking Windows Sockets 1.1 operation is in "
                "progress."},
        {10067, "Error initializing Winsock: Task limit has been reached."},
        {10014, "Error initializing Winsock: Invalid WSAData pointer passed to WSAStartup."},
        {10093, "Error initializing Winsock: Could not initialize windows socket "
                "implementation."},
        {1, "Error initializing Winsock: Could not initialize windows socket implementation."},
    };
    for (const auto& [code, message] : cases) {
        platform::SetStartupResult(code);
        TqsWinsock session(nullptr);
        try {
            session.SetActive(true);
            ADD_FAILURE() << "no error for " << code;
        } catch (const EWinsockError& e) {
            EXPECT_STREQ(e.what(), message) << code;
        }
        EXPECT_FALSE(session.Active());
    }
}

TEST_F(WinsockTest, DestructionCleansUpOnlyAnActiveSession) {
    {
        TqsWinsock session(nullptr);
        session.SetActive(true);
        EXPECT_EQ(platform::ActiveSessions(), 1);
    }
    EXPECT_EQ(platform::ActiveSessions(), 0);
    { TqsWinsock idle(nullptr); }
    EXPECT_EQ(platform::ActiveSessions(), 0);
}

TEST_F(WinsockTest, DependentTakesTheLastSessionOfItsOwner) {
    TComponent owner(nullptr);
    auto* first = new TqsWinsock(&owner);
    auto* second = new TqsWinsock(&owner);
    auto* dependent = new TqsWinsockComponent(&owner);
    EXPECT_EQ(dependent->Winsock(), second);
    (void)first;
}

TEST_F(WinsockTest, RemovalClearsTheReferenceAndALaterSessionIsTakenUp) {
    TComponent owner(nullptr);
    auto* session = new TqsWinsock(&owner);
    auto* dependent = new TqsWinsockComponent(&owner);
    ASSERT_EQ(dependent->Winsock(), session);
    delete session;
    EXPECT_EQ(dependent->Winsock(), nullptr);
    auto* later = new TqsWinsock(&owner);
    EXPECT_EQ(dependent->Winsock(), later);
}

TEST_F(WinsockTest, OwnerlessDependentGetsASessionOnlyWhenGivenOne) {
    TqsWinsockComponent dependent(nullptr);
    EXPECT_EQ(dependent.Winsock(), nullptr);
    EXPECT_THROW(dependent.CheckWinsock(), EWinsockError);
    TqsWinsock session(nullptr);
    dependent.SetWinsock(&session);
    EXPECT_FALSE(session.Active()); // setting the reference starts nothing
    dependent.CheckWinsock();
    EXPECT_TRUE(session.Active());
}

TEST_F(WinsockTest, LoadedDependentStartsItsSession) {
    TComponent owner(nullptr);
    auto* session = new TqsWinsock(&owner);
    auto* dependent = new TqsWinsockComponent(&owner);
    dependent->BeginLoading();
    dependent->Loaded();
    EXPECT_TRUE(session->Active());
}

} // namespace

namespace {

TEST(HostNameSyntax, OnlyTextsThatCanBeNamesAreLookedUp) {
    for (const char* name : {"localhost", "printer1", "a.b-c_d.example.", "xn--bcher-kva.example",
                             "b\xC3\xBC"
                             "cher.example"})
        EXPECT_TRUE(platform::IsHostNameSyntax(name)) << name;
    const std::string longLabel(64, 'a');
    const std::string longName =
        std::string(120, 'a') + "." + std::string(120, 'b') + ".ccccccccccccc";
    for (const std::string& name :
         {std::string(), std::string("two words"), std::string("a\nb"), std::string("%s%n"),
          std::string("a..b"), std::string(".a"), std::string("q\"uote"),
          std::string("back\\slash"), std::string("\xff\xfe"), std::string("caf\xC3"), longLabel,
          longName, std::string(65536, 'x')})
        EXPECT_FALSE(platform::IsHostNameSyntax(name)) << name.substr(0, 40);
    // Such a text is never handed to the resolver: the lookup simply fails.
    TqsWinsock session(nullptr);
    session.SetActive(true);
    EXPECT_FALSE(platform::GetHostByName("a\nb"));
    EXPECT_FALSE(platform::GetHostByName(std::string(65536, 'x')));
}

} // namespace
