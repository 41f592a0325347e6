#include "net/qsPingThread.h"
#include "platform/Module.h"
#include "tests/support/FakeIcmp.h"

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

namespace {

constexpr uint32_t Loopback = 0x0100007f; // 127.0.0.1 in network order

// Collects what the worker delivers into the target reply.
struct Deliveries {
    std::mutex Lock;
    std::condition_variable Arrived;
    std::vector<TqsPingReply*> Seen;
    std::vector<uint32_t> Status;
    std::vector<TPingResult> Results;
    TqsPingReply Target;

    Deliveries() {
        Target.OnReply = [this](TObject* sender) {
            std::lock_guard<std::mutex> lock(Lock);
            Seen.push_back(static_cast<TqsPingReply*>(sender));
            Status.push_back(Target.Status);
            Results.push_back(Target.Result);
            Arrived.notify_all();
        };
    }
    size_t WaitFor(size_t n) {
        std::unique_lock<std::mutex> lock(Lock);
        Arrived.wait(lock, [&] { return Seen.size() >= n; });
        return Seen.size();
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(Lock);
        return Seen.size();
    }
};

std::unique_ptr<TqsPingRequest> Request(uint32_t address = Loopback, uint16_t size = 8,
                                        uint32_t interval = 0, uint32_t timeout = 1000) {
    auto request = std::make_unique<TqsPingRequest>();
    request->SetDataSize(size);
    request->SetInterval(interval);
    request->SetTimeout(timeout);
    request->HostName = "host";
    request->IPAddress = "127.0.0.1";
    request->Address = address;
    return request;
}

// Runs one cycle (Interval 0) and returns the target reply.
void RunOnce(Deliveries& d, const std::unique_ptr<TqsPingRequest>& request) {
    TqsPingThread worker(request.get(), &d.Target);
    worker.WaitFor();
    worker.CloseIcmp();
    ASSERT_EQ(d.Count(), 1u);
}

class PingThreadTest : public ::testing::Test {
protected:
    FakeIcmp Fake;
    Deliveries D;
};

TEST_F(PingThreadTest, SuccessCopiesIdentityAndComputesResult) {
    Fake.Script({.Count = 1, .Status = 0, .RoundTrip = 5});
    auto request = Request(Loopback, 32);
    request->SetTTL(9);
    RunOnce(D, request);
    EXPECT_EQ(D.Target.Result, prSuccess);
    EXPECT_EQ(D.Target.DataCheck, 0);
    EXPECT_EQ(D.Target.RoundTripTime, 5u);
    EXPECT_EQ(D.Target.ReplyDataSize, 32u);
    EXPECT_EQ(D.Target.HostName, "host");
    EXPECT_EQ(D.Target.Address, Loopback);
    EXPECT_EQ(D.Seen[0], &D.Target); // Sender is the target reply
    EXPECT_EQ(Fake.LastTtl(), 9);
    EXPECT_EQ(Fake.LastAddress(), Loopback);
    EXPECT_EQ(Fake.OpenHandles(), 0);
}

TEST_F(PingThreadTest, NothingIsSentForDataSizeZeroOrAddressZero) {
    RunOnce(D, Request(Loopback, 0));
    EXPECT_EQ(D.Status[0], 11001u);
    EXPECT_EQ(D.Target.Result, prBufTooSmall);
    Deliveries second;
    RunOnce(second, Request(0, 8));
    EXPECT_EQ(second.Status[0], 11018u);
    EXPECT_EQ(second.Target.Result, prBadDestination);
    EXPECT_EQ(Fake.Sends(), 0);
}

TEST_F(PingThreadTest, FailedEchoTakesTheLastErrorAsStatus) {
    Fake.Script({.Count = 0, .LastError = 11010});
    RunOnce(D, Request());
    EXPECT_EQ(D.Target.Result, prTimedOut);
    EXPECT_EQ(D.Target.DataCheck, 1);
    EXPECT_EQ(D.Target.RoundTripTime, 0u);
    EXPECT_EQ(D.Target.ReplyDataSize, 0u);

    Deliveries silent;
    Fake.Script({.Count = 0, .LastError = 0});
    RunOnce(silent, Request());
    EXPECT_EQ(silent.Target.Result, prBadReplyData); // no reply, yet no error code

    Deliveries odd;
    Fake.Script({.Count = 0, .LastError = 22});
    RunOnce(odd, Request());
    EXPECT_EQ(odd.Target.Result, prUnknownError);
}

TEST_F(PingThreadTest, ErrorRecordCarriesItsStatus) {
    Fake.Script({.Count = 1, .Status = 11013, .EchoSize = 0});
    RunOnce(D, Request());
    EXPECT_EQ(D.Target.Result, prTTLExpiredTransit);
    EXPECT_EQ(D.Target.DataCheck, 2);
}

TEST_F(PingThreadTest, RoundTripAboveTimeoutIsReportedAsZero) {
    Fake.Script({.Count = 1, .RoundTrip = 1001});
    RunOnce(D, Request(Loopback, 8, 0, 1000));
    EXPECT_EQ(D.Target.RoundTripTime, 0u);
    EXPECT_EQ(D.Target.Result, prSuccess);
}

TEST_F(PingThreadTest, DataCheckComparesWhatCameBack) {
    Fake.Script({.Count = 1, .EchoSize = 5});
    RunOnce(D, Request(Loopback, 8));
    EXPECT_EQ(D.Target.DataCheck, 2);
    EXPECT_EQ(D.Target.Result, prReplySizeMismatch);
    EXPECT_EQ(D.Target.ReplyDataSize, 5u);

    Deliveries changed;
    Fake.Script({.Count = 1, .ChangeByte = 7});
    RunOnce(changed, Request(Loopback, 8));
    EXPECT_EQ(changed.Target.DataCheck, 3);
    EXPECT_EQ(changed.Target.Result, prBadReplyData);

    Deliveries changedShort;
    Fake.Script({.Count = 1, .EchoSize = 4, .ChangeByte = 0});
    RunOnce(changedShort, Request(Loopback, 8));
    EXPECT_EQ(changedShort.Target.DataCheck, 3);

    Deliveries longer;
    Fake.Script({.Count = 1, .EchoSize = 12});
    RunOnce(longer, Request(Loopback, 8));
    EXPECT_EQ(longer.Target.DataCheck, 2);

    Deliveries empty;
    Fake.Script({.Count = 1, .EchoSize = 0});
    RunOnce(empty, Request(Loopback, 8));
    EXPECT_EQ(empty.Target.DataCheck, 2);
}

TEST_F(PingThreadTest, IntervalZeroRunsOneCycleAndEndsByItself) {
    auto request = Request(Loopback, 8, 0);
    TqsPingThread worker(request.get(), &D.Target);
    worker.WaitFor(); // no Terminate from here
    EXPECT_TRUE(worker.Terminated());
    EXPECT_EQ(D.Count(), 1u);
    EXPECT_EQ(Fake.Sends(), 1);
    worker.CloseIcmp();
}

TEST_F(PingThreadTest, TerminateDuringAnEchoDeliversItThenEnds) {
    Fake.Block();
    auto request = Request(Loopback, 8, 60 * 60 * 1000);
    TqsPingThread worker(request.get(), &D.Target);
    Fake.WaitForSend(1);
    worker.Terminate();
    Fake.Release();
    worker.WaitFor();
    EXPECT_EQ(D.Count(), 1u); // the begun cycle was completed and delivered
    EXPECT_EQ(Fake.Sends(), 1);
    worker.CloseIcmp();
}

// With a module that can cancel, Terminate alone ends the echo, and what it
// returns (here a success) is not delivered.
TEST(PingThreadCancel, TerminateEndsTheEchoInProgressAndDeliversNothing) {
    FakeIcmp fake("", true);
    Deliveries d;
    fake.Block();
    auto request = Request(Loopback, 8, 60 * 60 * 1000, 60 * 60 * 1000);
    TqsPingThread worker(request.get(), &d.Target);
    fake.WaitForSend(1);
    worker.Terminate();
    const bool woken = fake.Cancelled();
    if (!woken)
        fake.Release(); // else WaitFor would never return
    worker.WaitFor();
    EXPECT_TRUE(woken) << "Terminate left the echo blocked";
    EXPECT_EQ(d.Count(), 0u);
    EXPECT_EQ(fake.Sends(), 1);
    worker.CloseIcmp();
}

TEST_F(PingThreadTest, StopIsSeenWhileWaitingBetweenCycles) {
    auto request = Request(Loopback, 8, 60 * 60 * 1000);
    TqsPingThread worker(request.get(), &D.Target);
    D.WaitFor(1);
    worker.Terminate();
    worker.WaitFor(); // an hour-long interval must not hold this up
    EXPECT_EQ(D.Count(), 1u);
    worker.CloseIcmp();
}

TEST_F(PingThreadTest, CyclesRepeatAtTheInterval) {
    auto request = Request(Loopback, 8, 1);
    TqsPingThread worker(request.get(), &D.Target);
    D.WaitFor(3);
    worker.Terminate();
    worker.WaitFor();
    worker.CloseIcmp();
    EXPECT_GE(Fake.Sends(), 3);
}

TEST_F(PingThreadTest, HandleCloseFailureIsReported) {
    auto request = Request();
    TqsPingThread worker(request.get(), &D.Target);
    worker.WaitFor();
    Fake.FailClose(true);
    try {
        worker.CloseIcmp();
        FAIL() << "no error";
    } catch (const EICMPError& e) {
        EXPECT_STREQ(e.what(), "ICMP Error: Could not close handle");
    }
}

TEST(PingThreadConstruction, AHandleRefusedForWantOfDescriptorsSaysSo) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    EXPECT_EQ(TqsPingThread::OpenFailureReason(EMFILE),
              limit.rlim_cur == RLIM_INFINITY
                  ? std::string(": too many open files")
                  : ": too many open files (limit " + std::to_string(limit.rlim_cur) + ")");
    EXPECT_EQ(TqsPingThread::OpenFailureReason(ENFILE), ": too many open files in the system");
    // Permission problems have their own advice; the message stays as it was.
    EXPECT_EQ(TqsPingThread::OpenFailureReason(EPERM), "");
    EXPECT_EQ(TqsPingThread::OpenFailureReason(0), "");
}

TEST(PingThreadConstruction, MissingModuleEntryOrHandleEachHasItsMessage) {
    TqsPingReply target;
    auto request = Request();
    auto expectError = [&](const char* message) {
        try {
            TqsPingThread worker(request.get(), &target);
            FAIL() << "no error";
        } catch (const EICMPError& e) {
            EXPECT_STREQ(e.what(), message);
        }
    };
    {
        // No module registered and none in the module folder.
        char folder[] = "/tmp/sentrel-nomodule-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        platform::SetModuleDirectory(folder);
        expectError("ICMP Error: Unable to load icmp.dll");
        platform::SetModuleDirectory("");
        rmdir(folder);
    }
    for (const char* missing : {"IcmpCreateFile", "IcmpCloseHandle", "IcmpSendEcho"}) {
        FakeIcmp fake(missing);
        expectError("ICMP Error: Unable to load ICMP module");
    }
    {
        FakeIcmp fake;
        fake.FailCreate(true);
        expectError("ICMP Error: Could not open handle");
        EXPECT_EQ(fake.Sends(), 0);
    }
}

} // namespace
