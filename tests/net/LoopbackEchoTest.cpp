// Real echoes through the real ICMP module, to loopback addresses only.

#include "net/qsInternetHost.h"
#include "platform/IcmpAccess.h"
#include "platform/Module.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Outcome {
    TPingResult Result;
    uint8_t DataCheck;
    uint16_t Size;
    std::string Address;
};

Outcome PingOnce(const std::string& text, uint16_t size) {
    TqsInternetHost host(nullptr);
    host.SetHostName(text);
    host.PingSettings()->SetDataSize(size);
    host.PingSettings()->SetInterval(0);
    host.PingSettings()->SetTimeout(2000);
    Outcome outcome{prUnknown, 255, 0, ""};
    host.OnPingReply = [&](TObject*, TqsPingReply* reply) {
        outcome = {reply->Result, reply->DataCheck, reply->ReplyDataSize, reply->IPAddress};
    };
    host.StartPing();
    host.WaitForPing();
    return outcome;
}

TEST(LoopbackEcho, AnswersWithTheSameDataForEverySize) {
    for (const char* address : {"127.0.0.1", "127.0.0.2", "127.1.2.3", "127.255.0.254"}) {
        for (uint16_t size : {1, 64, 4096}) {
            const Outcome outcome = PingOnce(address, size);
            EXPECT_EQ(outcome.Result, prSuccess)
                << address << " size " << size << ": " << PingResultText[outcome.Result];
            EXPECT_EQ(outcome.DataCheck, 0);
            EXPECT_EQ(outcome.Size, size);
            EXPECT_EQ(outcome.Address, address);
        }
    }
}

TEST(LoopbackEcho, ManyHostsAtOnceEachGetTheirOwnReplies) {
    constexpr int Hosts = 40;
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<int> replies(Hosts, 0);
    std::vector<int> foreign(Hosts, 0);
    std::vector<std::unique_ptr<TqsInternetHost>> hosts;
    for (int i = 0; i < Hosts; ++i) {
        auto host = std::make_unique<TqsInternetHost>(nullptr);
        const std::string address = "127.0.1." + std::to_string(i + 1);
        host->SetHostName(address);
        host->PingSettings()->SetInterval(5);
        host->OnPingReply = [&, i, address](TObject*, TqsPingReply* reply) {
            std::lock_guard<std::mutex> guard(lock);
            if (reply->Result == prSuccess && reply->IPAddress == address)
                ++replies[i];
            else
                ++foreign[i];
            arrived.notify_all();
        };
        hosts.push_back(std::move(host));
    }
    for (auto& host : hosts)
        host->StartPing();
    {
        std::unique_lock<std::mutex> guard(lock);
        arrived.wait(guard, [&] {
            for (int n : replies)
                if (n < 5)
                    return false;
            return true;
        });
    }
    for (auto& host : hosts)
        host->TerminatePing();
    for (auto& host : hosts)
        host->WaitForPing();
    for (int i = 0; i < Hosts; ++i)
        EXPECT_EQ(foreign[i], 0) << i;
}

// Threads of this process, but for lookup threads that earlier tests may
// have left to end by themselves.
int ThreadCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            count += name != TNameLookup::PoolThreadName;
        }
        closedir(dir);
    }
    return count;
}

bool MayOpenIcmp() {
    for (int type : {SOCK_DGRAM, SOCK_RAW}) {
        const int fd = socket(AF_INET, type | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (fd >= 0) {
            close(fd);
            return true;
        }
    }
    return false;
}

TEST(LoopbackEcho, StoppingTheLastHostLeavesNoThreadOfTheModule) {
    // A first worker, so that threads a runtime starts once (a sanitizer's
    // own, for one) are there before counting.
    PingOnce("127.0.2.1", 32);
    const int before = ThreadCount();
    for (int round = 0; round < 2; ++round) {
        std::vector<std::unique_ptr<TqsInternetHost>> hosts;
        for (int i = 0; i < 5; ++i) {
            hosts.push_back(std::make_unique<TqsInternetHost>(nullptr));
            hosts.back()->SetHostName("127.0.2." + std::to_string(i + 1));
            hosts.back()->PingSettings()->SetInterval(10);
            hosts.back()->StartPing();
        }
        for (auto& host : hosts)
            host->StopPing();
        // The module may be unloaded now: nothing of it may still run.
        EXPECT_EQ(ThreadCount(), before) << "round " << round;
    }
}

TEST(LoopbackEcho, AWorkerOutOfDescriptorsSaysSo) {
    if (!MayOpenIcmp())
        GTEST_SKIP() << "this user may open no ICMP socket";
    // Loaded beforehand, the module needs no descriptor to load again.
    platform::ModuleHandle module = platform::LoadLibrary("icmp.dll");
    ASSERT_NE(module, nullptr);
    {
        // A run beforehand, so that a runtime's checks that need a descriptor
        // of their own (a sanitizer's type checks open a pipe) are done and
        // remembered before the limit.
        PingOnce("127.0.0.1", 32);
        const EICMPError sample("warm-up");
        const Exception& general = sample;
        EXPECT_STREQ(general.what(), "warm-up");
    }
    // The lowest free descriptor becomes the limit, so the next one fails.
    const int lowest = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lowest, 0);
    close(lowest);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::string message = "no error";
    std::string advice;
    {
        TqsInternetHost host(nullptr);
        host.SetHostName("127.0.0.1");
        try {
            host.StartPing();
        } catch (const EICMPError& e) {
            message = e.what();
        }
        // Out of descriptors is no matter of permission: no advice to change one.
        advice = platform::IcmpAccessAdvice();
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(advice, "");
    platform::FreeLibrary(module);
    EXPECT_EQ(message, "ICMP Error: Could not open handle: too many open files (limit " +
                           std::to_string(lowest) + ")");
}

} // namespace
