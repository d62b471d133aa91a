#include "TalkweftCore/Task.hpp"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace talkweft {
namespace {

TEST(Task, ReturnsTheResultOrRethrows) {
    Task<int> ok([] { return 42; });
    EXPECT_EQ(ok.get(), 42);
    Task<void> fails([] { throw std::runtime_error("boom"); });
    EXPECT_THROW(fails.get(), std::runtime_error);
}

TEST(Task, CancelReachesCodeBelowTheTaskAndItsStopCallbacks) {
    std::atomic<bool> started{false}, callbackRan{false};
    Task<int> task([&] {
        std::stop_callback onStop(currentStopToken(), [&] { callbackRan = true; });
        started = true;
        for (;;) {
            checkCancellation();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return 0;
    });
    while (!started) std::this_thread::yield();
    task.cancel();
    EXPECT_THROW(task.get(), CancellationError);
    EXPECT_TRUE(callbackRan);
    EXPECT_TRUE(task.isCancelled());
}

TEST(Task, OutsideATaskNothingIsCancelledAndScopesNest) {
    EXPECT_FALSE(isCancelled());
    EXPECT_NO_THROW(checkCancellation());
    std::stop_source stopped;
    stopped.request_stop();
    {
        CancellationScope scope(stopped.get_token());
        EXPECT_THROW(checkCancellation(), CancellationError);
        {
            CancellationScope inner{std::stop_token()};
            EXPECT_FALSE(isCancelled());
        }
        EXPECT_TRUE(isCancelled());
    }
    EXPECT_FALSE(isCancelled());
}

}  // namespace
}  // namespace talkweft
