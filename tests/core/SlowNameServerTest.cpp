// The scanner behind a name server that answers late or never, in a private
// network namespace with a resolver of the test's own: no lookup may hold up
// Start, Stop or the devices given by address.

#include "tests/support/SlowNameServer.h"
#include "core/SentrelScannerCM.h"
#include "net/NameLookup.h"
#include "tests/platform/Netns.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono;

const std::string NamespacePrefix = "sentrel-dns-";

struct Reply {
    std::string Host;
    std::string Address;
    TPingResult Result;
};

// Runs in the child: the checks' failures, one a line; empty when all pass.
std::string StartAndStopWithLookupsHeld() {
    if (const std::string why = UseLoopbackNameServer(); !why.empty())
        return "SKIP: " + why;
    std::vector<std::string> names;
    std::map<std::string, std::string> answers;
    for (int i = 1; i <= 5; ++i) {
        names.push_back("slow" + std::to_string(i) + ".sentrel.test");
        answers[names.back()] = "127.0.0." + std::to_string(10 + i);
    }
    SlowNameServer server(answers);
    if (!server.Error().empty())
        return server.Error();

    TComponent owner(nullptr);
    new TqsWinsock(&owner);
    auto* scanner = new TSentrelScanner(&owner);
    TQueueDispatcher queue;
    scanner->SetDispatcher(&queue);
    std::vector<Reply> replies;
    scanner->OnPingReply = [&](TObject* sender, TqsPingReply* reply) {
        replies.push_back(
            {static_cast<TDeviceScanner*>(sender)->DisplayName(), reply->IPAddress, reply->Result});
    };
    for (const std::string& host :
         {names[0], names[1], std::string("127.0.0.2"), names[2], names[3], names[4]}) {
        TDeviceScanner* item = scanner->Scanners()->Add();
        item->SetDisplayName(host);
        item->Monitored = true;
    }
    std::string failures;
    auto check = [&](bool ok, const std::string& what) {
        if (!ok)
            failures += what + "\n";
    };
    // Drains replies until one of Host has come; false after 20 s.
    auto replyOf = [&](const std::string& host) -> std::optional<Reply> {
        const auto deadline = steady_clock::now() + seconds(20);
        for (;;) {
            for (const Reply& reply : replies)
                if (reply.Host == host)
                    return reply;
            if (steady_clock::now() > deadline)
                return std::nullopt;
            queue.WaitAndDrain(milliseconds(50));
        }
    };

    scanner->Start();
    const std::optional<Reply> byAddress = replyOf("127.0.0.2");
    check(byAddress && byAddress->Result == prSuccess,
          "the device given by address had no successful reply");
    check(server.Answered() == 0, "a lookup ended before the device given by address answered");

    server.Release(names[0]);
    const std::optional<Reply> named = replyOf(names[0]);
    check(named && named->Result == prSuccess && named->Address == "127.0.0.11",
          "the answered name was not probed at its address");
    check(server.WaitUntilAsked(5), "not every name was asked about");

    scanner->Stop();
    // The four unanswered lookups are still being asked: Stop did not wait.
    check(server.Answered() == 1, "lookups ended before Stop returned");
    check(TNameLookup::LookupsInFlight() == 4, "Stop returned without the lookups in flight");
    check(!scanner->Scanners()->Items(1)->InternetHost()->Resolved(),
          "a name never answered counts as resolved");
    return failures;
}

TEST(SlowNameServer, StartAndStopDoNotWaitForLookupsNorDoDevicesGivenByAddress) {
    static const std::string unavailable = netns::UnavailableReason();
    if (!unavailable.empty())
        GTEST_SKIP() << "Skipping the slow name server test: " << unavailable;
    netns::RemoveLeftovers(NamespacePrefix);
    std::unique_ptr<netns::Namespace> ns;
    try {
        ns = std::make_unique<netns::Namespace>(NamespacePrefix + std::to_string(getpid()));
    } catch (const std::exception& e) {
        FAIL() << "could not build the test network: " << e.what();
    }
    std::string failures;
    try {
        failures = ns->RunInside(&StartAndStopWithLookupsHeld, seconds(60));
    } catch (const std::exception& e) {
        FAIL() << e.what();
    }
    if (failures.starts_with("SKIP: "))
        GTEST_SKIP() << failures.substr(6);
    EXPECT_EQ(failures, "");
}

} // namespace
