#include "framework/Thread.h"
#include "framework/Exceptions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

namespace {

using namespace std::chrono;

class Sleeper : public TThread {
public:
    explicit Sleeper(milliseconds wait) : Wait(wait) { Start(); }
    ~Sleeper() override {
        Terminate();
        WaitFor();
    }
    milliseconds Wait;
    std::atomic<bool> WokeEarly{false};

protected:
    void Execute() override { WokeEarly = WaitForTerminate(Wait); }
};

class Failing : public TThread {
public:
    Failing() { Start(); }

protected:
    void Execute() override { throw Exception("boom"); }
};

TEST(Thread, TerminateCutsAWaitShort) {
    Sleeper sleeper(hours(1));
    sleeper.Terminate();
    sleeper.WaitFor(); // would hang for an hour if the wait were not woken
    EXPECT_TRUE(sleeper.WokeEarly);
    EXPECT_TRUE(sleeper.Finished());
    EXPECT_TRUE(sleeper.Terminated());
}

TEST(Thread, TerminateWakesOnlyItsOwnThread) {
    Sleeper first(hours(1));
    Sleeper second(milliseconds(300));
    first.Terminate();
    first.WaitFor();
    EXPECT_TRUE(first.WokeEarly);
    EXPECT_FALSE(second.Finished()); // still sleeping out its own wait
    second.WaitFor();
    EXPECT_FALSE(second.WokeEarly);
}

TEST(Thread, WaitEndsByItselfWithoutTerminate) {
    Sleeper sleeper(milliseconds(1));
    sleeper.WaitFor();
    EXPECT_FALSE(sleeper.WokeEarly);
    sleeper.WaitFor(); // a second wait returns at once
}

TEST(Thread, ErrorInExecuteIsKeptNotThrown) {
    Failing failing;
    failing.WaitFor();
    ASSERT_TRUE(failing.FatalException());
    try {
        std::rethrow_exception(failing.FatalException());
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "boom");
    }
}

TEST(Thread, DestructionStopsARunningThread) {
    auto* sleeper = new Sleeper(hours(1));
    delete sleeper; // must not hang or leave the thread running
}

} // namespace
