#include "core/Dispatcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using namespace std::chrono;

// The console's queue wakes its thread for the first call, lets later calls
// gather behind it, and runs them all in one batch once Wake is called.
TEST(QueueDispatcher, CallsGatherBehindTheFirstUntilWake) {
    TQueueDispatcher queue(hours(1));
    int ran = 0;
    size_t drained = 0;
    std::thread drainer([&] { drained = queue.WaitAndDrain(hours(1)); });
    while (!queue.Waiting())
        std::this_thread::yield();
    queue.Post([&] { ++ran; });
    while (queue.Waiting()) // woken by the first call
        std::this_thread::yield();
    queue.Post([&] { ++ran; });
    queue.Wake();
    drainer.join();
    EXPECT_EQ(drained, 2u);
    EXPECT_EQ(ran, 2);
}

TEST(QueueDispatcher, AThrowingCallLosesNoCallBehindItAndKeepsTheOrder) {
    TQueueDispatcher queue;
    std::string order;
    queue.Post([&] { order += 'a'; });
    queue.Post([] { throw std::runtime_error("handler failed"); });
    queue.Post([&] { order += 'b'; });
    queue.Post([&] { order += 'c'; });
    EXPECT_THROW(queue.Drain(), std::runtime_error);
    EXPECT_EQ(queue.Pending(), 2u);
    queue.Post([&] { order += 'd'; });
    EXPECT_EQ(queue.Drain(), 3u);
    EXPECT_EQ(order, "abcd");
}

} // namespace
