#include "manual_loop.hpp"
#include "threading/debouncer.hpp"
#include "threading/lifetime.hpp"
#include "threading/serial_queue.hpp"

#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <vector>

namespace wisket {
namespace {

using namespace std::chrono_literals;

// Order and the one worker thread are the reader's threading case.
TEST(SerialQueue, KnowsWhetherItRunsTheCallingThread) {
    SerialQueue queue;
    EXPECT_FALSE(queue.isCurrent());
    std::promise<bool> inside;
    queue.post([&] { inside.set_value(queue.isCurrent()); });
    auto answer = inside.get_future();
    ASSERT_EQ(answer.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(answer.get());
}

// A waiting task is dropped unrun (releasing what it holds), the running one finishes.
TEST(SerialQueue, DestructionFinishesTheRunningTaskAndDropsTheWaitingOnes) {
    std::promise<void> running;
    std::promise<void> droppedReleased;
    auto released = droppedReleased.get_future();
    bool finished = false;
    bool droppedRan = false;
    {
        SerialQueue queue;
        queue.post([&] {
            running.set_value();
            finished = released.wait_for(10s) == std::future_status::ready;
        });
        running.get_future().wait();
        auto held = std::shared_ptr<int>(new int, [&](int* p) {
            delete p;
            droppedReleased.set_value();
        });
        queue.post([&, held = std::move(held)] { droppedRan = true; });
    }
    EXPECT_TRUE(finished);
    EXPECT_FALSE(droppedRan);
}

TEST(Debouncer, RunsOnlyTheLatestTaskAndKnowsWhetherItIsStillCurrent) {
    testing::ManualLoop loop;
    std::vector<int> ran;
    std::optional<Debouncer::Ticket> second;
    {
        Debouncer debouncer(loop);
        debouncer.schedule(10ms, [&](Debouncer::Ticket) { ran.push_back(1); });
        debouncer.schedule(30ms, [&](Debouncer::Ticket ticket) {
            ran.push_back(2);
            second = ticket;
        });
        loop.advance(30ms);
        EXPECT_EQ(ran, std::vector<int>{2});
        ASSERT_TRUE(second);
        EXPECT_TRUE(debouncer.isCurrent(*second)) << "a task that fired stays current";
        debouncer.cancel();
        EXPECT_FALSE(debouncer.isCurrent(*second));

        debouncer.schedule(10ms, [&](Debouncer::Ticket) { ran.push_back(3); });
        debouncer.cancel();
        debouncer.schedule(10ms, [&](Debouncer::Ticket) { ran.push_back(4); });
    }
    loop.advance(100ms);
    EXPECT_EQ(ran, std::vector<int>{2}) << "cancelled and destroyed debouncers run nothing";
    EXPECT_EQ(loop.pendingTimers(), 0u);
}

TEST(Lifetime, GuardedCallbacksDoNothingOnceTheOwnerIsGone) {
    int calls = 0;
    auto lifetime = std::make_unique<Lifetime>();
    auto answer = lifetime->guard([&](int value) {
        ++calls;
        return value > 0;
    });
    auto notify = lifetime->guard([&] { ++calls; });
    EXPECT_TRUE(answer(1));
    notify();
    lifetime.reset();
    EXPECT_FALSE(answer(1));
    notify();
    EXPECT_EQ(calls, 2);
}

} // namespace
} // namespace wisket
