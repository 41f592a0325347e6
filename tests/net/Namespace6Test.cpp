// IPv6 through the real ICMP module, inside a network namespace of the test's
// own whose only addresses are fd00:77::1 and ::2 on one end of a veth pair: no
// route leads out. The moving name lives in a private /etc/hosts, and the
// resolver is told to read files only, so no name server is ever asked.

#include "net/qsInternetHost.h"
#include "tests/platform/Netns.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using namespace std::chrono_literals;

const std::string NamespacePrefix = "sentrel-net6-";

class Namespace6 : public ::testing::Test {
protected:
    void SetUp() override {
        static const std::string unavailable = netns::UnavailableReason();
        if (!unavailable.empty())
            GTEST_SKIP() << "Skipping the IPv6 namespace tests: " << unavailable;
        netns::RemoveLeftovers(NamespacePrefix);
        static int counter = 0;
        try {
            Ns = std::make_unique<netns::Namespace>(NamespacePrefix + std::to_string(getpid()) +
                                                    "-" + std::to_string(++counter));
            Ns->Sysctl("net.ipv6.conf.all.disable_ipv6", "0");
            Ns->Ip({"link", "set", "lo", "up"});
            // A veth pair with both ends here: the dummy type may be missing.
            Ns->Ip({"link", "add", "d0", "type", "veth", "peer", "name", "d1"});
            Ns->Ip({"link", "set", "d0", "up"});
            Ns->Ip({"link", "set", "d1", "up"});
            for (const char* address : {"fd00:77::1/64", "fd00:77::2/64"})
                Ns->Ip({"addr", "add", address, "dev", "d0", "nodad"});
        } catch (const std::exception& e) {
            FAIL() << "could not build the test network: " << e.what();
        }
    }
    std::unique_ptr<netns::Namespace> Ns;
};

// Probes Text until Done accepts a reply or 10 s pass; says what went wrong.
struct Prober {
    TqsWinsock Session{nullptr};
    TqsInternetHost Host{nullptr};
    std::mutex Lock;
    std::condition_variable Arrived;
    std::vector<std::string> Replies; // "<result> <address>[ changed from <previous>]"

    Prober(const std::string& Text, uint32_t ResolveEvery) {
        Session.SetActive(true);
        Host.SetWinsock(&Session);
        Host.SetHostName(Text);
        Host.PingSettings()->SetInterval(50);
        Host.PingSettings()->SetResolveEvery(ResolveEvery);
        Host.OnPingReply = [this](TObject*, TqsPingReply* reply) {
            std::lock_guard<std::mutex> lock(Lock);
            std::string text = std::string(reply->ResultText()) + " " + reply->IPAddress;
            if (reply->AddressChanged)
                text += " changed from " + reply->PreviousIPAddress;
            Replies.push_back(std::move(text));
            Arrived.notify_all();
        };
        Host.StartPing();
    }
    bool WaitFor(const std::string& Expected) {
        std::unique_lock<std::mutex> lock(Lock);
        return Arrived.wait_for(lock, 10s, [&] {
            return std::find(Replies.begin(), Replies.end(), Expected) != Replies.end();
        });
    }
    std::string Seen() {
        std::lock_guard<std::mutex> lock(Lock);
        return Replies.empty() ? "none" : Replies.back();
    }
};

TEST_F(Namespace6, LiteralIsEchoedThroughTheRealModule) {
    const std::string out = Ns->RunInside([] {
        Prober probe("[FD00:77:0::1]", 0);
        if (!probe.WaitFor("Connected fd00:77::1"))
            return "last reply: " + probe.Seen();
        return std::string("ok");
    });
    EXPECT_EQ(out, "ok");
}

// The file's content is replaced in place, so the bind mount shows it.
void WriteFile(const std::string& Path, const std::string& Text) {
    std::ofstream(Path, std::ios::trunc) << Text;
}

TEST_F(Namespace6, NameMovedInHostsFileIsFollowedWithinThePeriod) {
    const std::string out = Ns->RunInside([] {
        char dir[] = "/tmp/sentrel-hosts-XXXXXX";
        if (mkdtemp(dir) == nullptr)
            return std::string("SKIP: no temporary folder");
        const std::string hosts = std::string(dir) + "/hosts";
        const std::string nsswitch = std::string(dir) + "/nsswitch.conf";
        WriteFile(hosts, "fd00:77::1 printer-2f\n");
        WriteFile(nsswitch, "hosts: files\n");
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
            return std::string("SKIP: no private mount namespace here");
        if (mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0 ||
            mount(nsswitch.c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) != 0)
            return std::string("SKIP: cannot bind-mount over /etc");
        std::string result = "ok";
        {
            Prober probe("printer-2f", 300);
            if (!probe.WaitFor("Connected fd00:77::1"))
                result = "before the move: " + probe.Seen();
            WriteFile(hosts, "fd00:77::2 printer-2f\n");
            if (result == "ok" && !probe.WaitFor("Connected fd00:77::2 changed from fd00:77::1"))
                result = "after the move: " + probe.Seen();
        }
        std::filesystem::remove_all(dir);
        return result;
    });
    if (out.starts_with("SKIP:"))
        GTEST_SKIP() << out.substr(5);
    EXPECT_EQ(out, "ok");
}

} // namespace
