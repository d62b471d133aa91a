#include "Platform/Headless/HeadlessLoop.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace talkweft::platform::headless {
namespace {

using std::chrono::milliseconds;

TEST(HeadlessLoopTests, TimersRunInDueOrderAtTheirVirtualTimeWithoutRealWaiting) {
    HeadlessLoop loop;
    const TimePoint start = loop.now();
    std::vector<std::pair<std::string, Duration>> ran;
    loop.addTimer(seconds(0.6), [&] { ran.emplace_back("b", loop.now() - start); });
    loop.addTimer(seconds(0.12), [&] { ran.emplace_back("a", loop.now() - start); });
    loop.addTimer(seconds(5), [&] { ran.emplace_back("late", loop.now() - start); });
    loop.post([&] { ran.emplace_back("posted", loop.now() - start); });

    const auto realStart = std::chrono::steady_clock::now();
    loop.advance(seconds(1));
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(1));

    ASSERT_EQ(ran.size(), 3u);
    EXPECT_EQ(ran[0], std::make_pair(std::string("posted"), Duration(0)));
    EXPECT_EQ(ran[1], std::make_pair(std::string("a"), seconds(0.12)));
    EXPECT_EQ(ran[2], std::make_pair(std::string("b"), seconds(0.6)));
    EXPECT_EQ(loop.now() - start, seconds(1));
    EXPECT_EQ(loop.pendingTimers(), 1u);
}

TEST(HeadlessLoopTests, NestedSleepRunsOtherTimersAndNeverMovesTheClockBack) {
    HeadlessLoop loop;
    const TimePoint start = loop.now();
    std::vector<std::string> order;
    loop.addTimer(seconds(0.1), [&] {
        order.push_back("sleeper starts");
        loop.sleepFor(seconds(0.5));  // the 0.3 s timer runs inside this sleep
        order.push_back("sleeper ends");
    });
    loop.addTimer(seconds(0.3), [&] { order.push_back("inside"); });
    loop.advance(seconds(0.2));
    EXPECT_EQ(order, (std::vector<std::string>{"sleeper starts", "inside", "sleeper ends"}));
    EXPECT_EQ(loop.now() - start, seconds(0.6));
}

TEST(HeadlessLoopTests, RepeatingTimerFiresEachIntervalAndCanCancelItself) {
    HeadlessLoop loop;
    int fired = 0;
    TimerId id = 0;
    id = loop.addRepeatingTimer(seconds(0.5), [&] {
        if (++fired == 3) loop.cancelTimer(id);
    });
    loop.advance(seconds(1.2));
    EXPECT_EQ(fired, 2);
    loop.advance(seconds(10));
    EXPECT_EQ(fired, 3);
    EXPECT_EQ(loop.pendingTimers(), 0u);
}

TEST(HeadlessLoopTests, CancelledTimerNeverRuns) {
    HeadlessLoop loop;
    bool ran = false;
    TimerId victim = loop.addTimer(seconds(0.2), [&] { ran = true; });
    loop.addTimer(seconds(0.1), [&] { loop.cancelTimer(victim); });
    loop.advance(seconds(1));
    EXPECT_FALSE(ran);
}

TEST(HeadlessLoopTests, RunUntilWaitsForAJobPostedByAnotherThread) {
    HeadlessLoop loop;
    bool done = false;
    std::thread worker([&] {
        std::this_thread::sleep_for(milliseconds(20));
        loop.post([&] { done = loop.isMainThread(); });
    });
    EXPECT_TRUE(loop.runUntil([&] { return done; }));
    worker.join();
}

TEST(HeadlessLoopTests, RunUntilGivesUpAfterItsLimitInsteadOfHanging) {
    HeadlessLoop loop;
    loop.setRunUntilLimit(milliseconds(30));
    EXPECT_FALSE(loop.runUntil([] { return false; }));
}

TEST(HeadlessLoopTests, RunJumpsToTimersAndReturnsOnQuit) {
    HeadlessLoop loop;
    const TimePoint start = loop.now();
    loop.addTimer(seconds(30), [&] { loop.quit(); });
    loop.run();
    EXPECT_EQ(loop.now() - start, seconds(30));
}

TEST(HeadlessLoopTests, RealClockSleepWaitsAndRunsDueTimers) {
    HeadlessLoop loop(HeadlessLoop::ClockMode::realClock);
    bool ran = false;
    loop.addTimer(milliseconds(5), [&] { ran = true; });
    const auto start = std::chrono::steady_clock::now();
    loop.sleepFor(milliseconds(20));
    EXPECT_TRUE(ran);
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(20));
}

}  // namespace
}  // namespace talkweft::platform::headless
