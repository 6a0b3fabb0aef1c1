#include "focus/reader_queue.hpp"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

namespace wisket {
namespace {

TEST(ThreadReaderQueue, RunsTasksInPostingOrderOnItsOwnThread) {
    std::mutex mutex;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::atomic<int> onQueue{0};
    {
        ThreadReaderQueue queue;
        EXPECT_FALSE(queue.isCurrent());
        // Two posting threads: each one's tasks keep their order.
        auto poster = [&](int base) {
            for (int i = 0; i < 100; ++i) {
                queue.post([&, value = base + i] {
                    onQueue += queue.isCurrent() ? 1 : 0;
                    const std::lock_guard lock(mutex);
                    order.push_back(value);
                    threads.push_back(std::this_thread::get_id());
                });
            }
        };
        std::thread a(poster, 0);
        std::thread b(poster, 1000);
        a.join();
        b.join();
    } // destruction runs what was posted
    ASSERT_EQ(order.size(), 200u);
    EXPECT_EQ(onQueue.load(), 200);
    int lastA = -1;
    int lastB = 999;
    for (int value : order) {
        int& last = value < 1000 ? lastA : lastB;
        EXPECT_GT(value, last);
        last = value;
    }
    for (std::thread::id id : threads) {
        EXPECT_EQ(id, threads.front());
        EXPECT_NE(id, std::this_thread::get_id());
    }
}

TEST(ThreadReaderQueue, DestructionRunsWorkPostedWhileDraining) {
    std::vector<int> order;
    {
        ThreadReaderQueue queue;
        queue.post([&] {
            queue.post([&] { order.push_back(2); });
            order.push_back(1);
        });
    }
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

} // namespace
} // namespace wisket
