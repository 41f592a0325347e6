#include "core/Dispatcher.h"

#include <gtest/gtest.h>

#include <chrono>
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

} // namespace
