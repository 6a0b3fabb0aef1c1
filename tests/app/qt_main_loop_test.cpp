#include "app/qt_main_loop.hpp"
#include "qt_offscreen.hpp"

#include <QTimer>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace wisket {
namespace {

class QtMainLoopTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testing::offscreenApplication(); }

    void runFor(std::chrono::milliseconds time) {
        QTimer::singleShot(time, [] { QCoreApplication::quit(); });
        QCoreApplication::exec();
    }

    QtMainLoop m_loop;
};

TEST_F(QtMainLoopTest, PostsFromOtherThreadsRunOnTheMainThreadInOrder) {
    const auto mainThread = std::this_thread::get_id();
    std::vector<int> seen;
    bool allOnMain = true;
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i) {
            m_loop.post([&, i] {
                seen.push_back(i);
                allOnMain = allOnMain && std::this_thread::get_id() == mainThread;
            });
        }
    });
    worker.join();
    runFor(std::chrono::milliseconds(50));
    ASSERT_EQ(seen.size(), 100u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_TRUE(allOnMain);
}

TEST_F(QtMainLoopTest, TimersFireOnceInOrderAndCancelledOnesNever) {
    std::vector<std::string> fired;
    m_loop.after(std::chrono::milliseconds(30), [&] { fired.push_back("late"); });
    const auto cancelled = m_loop.after(std::chrono::milliseconds(10), [&] { fired.push_back("cancelled"); });
    m_loop.after(std::chrono::milliseconds(5), [&] {
        fired.push_back("early");
        m_loop.cancel(cancelled); // a timer may cancel another from inside its task
    });
    const auto start = m_loop.now();
    runFor(std::chrono::milliseconds(80));
    EXPECT_EQ(fired, (std::vector<std::string>{"early", "late"}));
    EXPECT_GE(m_loop.now() - start, std::chrono::milliseconds(80));
    m_loop.cancel(cancelled); // unknown or fired ids are ignored
    m_loop.cancel(12345);
}

} // namespace
} // namespace wisket
