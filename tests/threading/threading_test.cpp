#include "manual_loop.hpp"
#include "threading/debouncer.hpp"
#include "threading/serial_queue.hpp"

#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <optional>

namespace wisket {
namespace {

using namespace std::chrono_literals;

// A waiting task is dropped unrun (releasing what it holds), the running one finishes. Order
// and the one worker thread are the reader's threading case.
TEST(SerialQueue, KnowsItsThreadAndDestructionFinishesTheRunningTaskAndDropsTheWaitingOnes) {
    std::promise<void> running;
    std::promise<void> droppedReleased;
    auto released = droppedReleased.get_future();
    bool finished = false;
    bool droppedRan = false;
    bool ranOnTheQueue = false;
    {
        SerialQueue queue;
        EXPECT_FALSE(queue.isCurrent());
        queue.post([&] {
            ranOnTheQueue = queue.isCurrent();
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
    EXPECT_TRUE(ranOnTheQueue);
    EXPECT_TRUE(finished);
    EXPECT_FALSE(droppedRan);
}

// Replacing, cancelling and destroying are the controller's cases; a cancelled ticket is not
// seen there, as the controller also counts its generations.
TEST(Debouncer, ATaskThatFiredStaysCurrentUntilCancelled) {
    testing::ManualLoop loop;
    Debouncer debouncer(loop);
    std::optional<Debouncer::Ticket> fired;
    debouncer.schedule(10ms, [&](Debouncer::Ticket ticket) { fired = ticket; });
    loop.advance(10ms);
    ASSERT_TRUE(fired);
    EXPECT_TRUE(debouncer.isCurrent(*fired));
    debouncer.cancel();
    EXPECT_FALSE(debouncer.isCurrent(*fired));
}

} // namespace
} // namespace wisket
