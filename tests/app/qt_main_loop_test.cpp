#include "app/qt_main_loop.hpp"
#include "qt_offscreen.hpp"

#include <QTimer>
#include <algorithm>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace wisket {
namespace {

TEST(QtMainLoop, PostsFromOtherThreadsAndTimersRunOnTheMainThreadInOrderAndCancelledTimersNever) {
    testing::offscreenApplication();
    QtMainLoop loop;
    const auto mainThread = std::this_thread::get_id();
    std::vector<int> seen;
    bool allOnMain = true;
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i) {
            loop.post([&, i] {
                seen.push_back(i);
                allOnMain = allOnMain && std::this_thread::get_id() == mainThread;
            });
        }
    });
    worker.join();

    std::vector<std::string> fired;
    loop.after(std::chrono::milliseconds(30), [&] { fired.push_back("late"); });
    const auto cancelled = loop.after(std::chrono::milliseconds(10), [&] { fired.push_back("cancelled"); });
    loop.after(std::chrono::milliseconds(5), [&] {
        fired.push_back("early");
        loop.cancel(cancelled); // a timer may cancel another from inside its task
    });
    const auto start = loop.now();
    QTimer::singleShot(std::chrono::milliseconds(80), [] { QCoreApplication::quit(); });
    QCoreApplication::exec();

    ASSERT_EQ(seen.size(), 100u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_TRUE(allOnMain);
    EXPECT_EQ(fired, (std::vector<std::string>{"early", "late"}));
    EXPECT_GE(loop.now() - start, std::chrono::milliseconds(80));
    loop.cancel(cancelled); // unknown or fired ids are ignored
    loop.cancel(12345);
}

} // namespace
} // namespace wisket
