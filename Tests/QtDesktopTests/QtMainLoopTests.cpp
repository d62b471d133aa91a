// The main loop on Qt's event loop: jobs and timers from any thread, cancellation, nested waits
// that keep serving jobs, timers and Qt's own events, and quit.
#include <gtest/gtest.h>

#include <QTimer>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Linux/Qt/QtMainLoop.hpp"
#include "QtSupport.hpp"

namespace {

using namespace std::chrono_literals;
using talkweft::platform::Duration;
using talkweft::platform::TimePoint;
using talkweft::platform::linuxdesktop::QtMainLoop;

class QtMainLoopTest : public ::testing::Test {
protected:
    bool qt = (qtdesktoptest::ensureQApplication(), true);
    std::unique_ptr<QtMainLoop> made = std::make_unique<QtMainLoop>();
    QtMainLoop& loop = *made;
};

TEST_F(QtMainLoopTest, JobsRunInOrderOnTheMainThreadAndTimersByDueTime) {
    std::vector<std::string> ran;
    bool allOnMain = true;
    auto note = [&](std::string what) {
        return [&, what] {
            allOnMain = allOnMain && loop.isMainThread();
            ran.push_back(what);
        };
    };
    const TimePoint start = loop.now();
    loop.addTimer(std::chrono::milliseconds(60), note("t60"));
    loop.addTimer(std::chrono::milliseconds(20), note("t20"));
    loop.addTimer(std::chrono::milliseconds(40), note("t40"));
    loop.post(note("a"));
    loop.post(note("b"));
    bool threadWasMain = true;
    std::thread([&] {
        threadWasMain = loop.isMainThread();
        loop.post(note("from thread"));
    }).join();
    loop.post(note("c"));
    ASSERT_TRUE(loop.runUntil([&] { return ran.size() == 7; }));
    // Jobs in the order posted, timers in the order due (on a slow machine a timer may come due
    // before the jobs have run).
    std::vector<std::string> jobs, timers;
    for (const auto& r : ran) (r[0] == 't' ? timers : jobs).push_back(r);
    EXPECT_EQ(jobs, (std::vector<std::string>{"a", "b", "from thread", "c"}));
    EXPECT_EQ(timers, (std::vector<std::string>{"t20", "t40", "t60"}));
    EXPECT_GE(loop.now() - start, 60ms) << "a timer never runs early";
    EXPECT_TRUE(allOnMain);
    EXPECT_TRUE(loop.isMainThread());
    EXPECT_FALSE(threadWasMain);
}

TEST_F(QtMainLoopTest, TimersFromOtherThreadsAndCancelledTimersNeverRun) {
    std::atomic<int> fromThread{0};
    std::atomic<bool> onMain{false};
    std::thread([&] {
        loop.addTimer(5ms, [&] {
            onMain = loop.isMainThread();
            fromThread++;
        });
        const auto cancelled = loop.addTimer(1ms, [&] { fromThread += 100; });
        loop.cancelTimer(cancelled);
    }).join();

    // Two timers due together: the first cancels the second from inside its job.
    int second = 0;
    talkweft::platform::TimerId secondId = 0;
    bool firstRan = false;
    loop.addTimer(10ms, [&] {
        firstRan = true;
        loop.cancelTimer(secondId);
    });
    secondId = loop.addTimer(10ms, [&] { second++; });
    // A later timer shows the loop went past the cancelled one's time.
    bool later = false;
    loop.addTimer(30ms, [&] { later = true; });
    ASSERT_TRUE(loop.runUntil([&] { return later; }));
    EXPECT_TRUE(firstRan);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(fromThread.load(), 1);
    EXPECT_TRUE(onMain.load());
    loop.cancelTimer(secondId);  // fired or cancelled ids are ignored
    loop.cancelTimer(987654);
}

TEST_F(QtMainLoopTest, ARepeatingTimerRunsUntilCancelledAndALateOneFiresOnce) {
    const auto interval = 40ms;
    std::vector<TimePoint> fires;
    bool blocked = false;
    TimePoint blockEnd{};
    talkweft::platform::TimerId id = 0;
    const TimePoint start = loop.now();
    id = loop.addRepeatingTimer(interval, [&] {
        fires.push_back(loop.now());
        if (fires.size() == 2 && !blocked) {
            // The main thread is busy for five intervals: the missed runs come as one.
            blocked = true;
            std::this_thread::sleep_for(5 * interval);
            blockEnd = loop.now();
        }
        if (fires.size() == 5) loop.cancelTimer(id);
    });
    ASSERT_TRUE(loop.runUntil([&] { return fires.size() == 5; }));
    // Nothing runs after the cancellation: a one-shot timer well after the next interval comes first.
    bool after = false;
    loop.addTimer(3 * interval, [&] { after = true; });
    ASSERT_TRUE(loop.runUntil([&] { return after; }));
    EXPECT_EQ(fires.size(), 5u);
    // The first run one interval from the start, the next one interval after that.
    EXPECT_GE(fires[0] - start, interval);
    EXPECT_GE(fires[1] - start, 2 * interval);
    // After the busy stretch: one run at once, the next a whole interval later.
    EXPECT_GE(fires[2], blockEnd);
    EXPECT_GE(fires[3] - fires[2], interval / 2) << "the missed intervals ran one after another";
}

TEST_F(QtMainLoopTest, NestedWaitsKeepServingJobsTimersAndQtEvents) {
    std::vector<std::string> ran;
    // sleepFor inside a job: a timer, a post from another thread and a Qt timer all run inside it.
    loop.post([&] {
        const TimePoint start = loop.now();
        loop.addTimer(10ms, [&] { ran.push_back("timer"); });
        std::thread([&] { loop.post([&] { ran.push_back("posted"); }); }).join();
        QTimer::singleShot(5, [&] { ran.push_back("qt"); });
        loop.sleepFor(60ms);
        EXPECT_GE(loop.now() - start, 60ms);
        ran.push_back("slept");
    });
    ASSERT_TRUE(loop.runUntil([&] { return !ran.empty() && ran.back() == "slept"; }));
    EXPECT_EQ(ran.size(), 4u);
    EXPECT_EQ(std::count(ran.begin(), ran.end(), "timer"), 1);
    EXPECT_EQ(std::count(ran.begin(), ran.end(), "posted"), 1);
    EXPECT_EQ(std::count(ran.begin(), ran.end(), "qt"), 1);

    // runUntil inside runUntil: the inner one waits on a background thread's post, the outer on a
    // timer; done() is checked after each job, so a job queued behind the one that ends the wait
    // has not run when it returns.
    bool inner = false, outer = false, innerDone = false;
    int behind = 0;
    loop.post([&] {
        std::thread([&] {
            loop.post([&] { inner = true; });
            loop.post([&] { behind++; });
        }).join();
        innerDone = loop.runUntil([&] { return inner; });
        EXPECT_EQ(behind, 0);
    });
    loop.addTimer(20ms, [&] { outer = true; });
    ASSERT_TRUE(loop.runUntil([&] { return outer && innerDone; }));
    ASSERT_TRUE(loop.runUntil([&] { return behind == 1; }));
}

TEST_F(QtMainLoopTest, QuitEndsRunAndWaitsFromAnyThreadAndTheLoopWaitsAgainAfterwards) {
    // From another thread (as the signal thread does).
    std::thread quitter([&] { loop.post([&] { std::thread([&] { loop.quit(); }).detach(); }); });
    loop.run();
    quitter.join();

    // From a job inside a nested wait: the wait ends with false, then run() ends.
    bool waitResult = true, afterWait = false;
    loop.post([&] {
        loop.addTimer(10ms, [&] { loop.quit(); });
        waitResult = loop.runUntil([] { return false; });
        afterWait = true;
    });
    loop.run();
    EXPECT_FALSE(waitResult);
    EXPECT_TRUE(afterWait);

    // The quit is spent once run() returned: the shutdown's waits still run jobs.
    bool shutdownJob = false;
    loop.post([&] { shutdownJob = true; });
    EXPECT_TRUE(loop.runUntil([&] { return shutdownJob; }));
    loop.sleepFor(1ms);

    // A quit that comes before run() makes it return at once.
    loop.quit();
    loop.run();
    bool ranAfter = false;
    loop.post([&] { ranAfter = true; });
    EXPECT_TRUE(loop.runUntil([&] { return ranAfter; }));
}

}  // namespace
