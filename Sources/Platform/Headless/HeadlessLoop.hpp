// A main loop for headless runs and tests: posted jobs and timers on one thread, with either the
// real continuous clock or a virtual clock that moves only when told to.
//
// With the virtual clock, sleepFor(d) and advance(d) move time forward at once, running every job
// and timer that falls due on the way, each at its due time; nothing waits for real time. Posted
// jobs from other threads are still awaited in real time (runUntil).
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>

#include "Platform/MainLoop.hpp"
#include "Platform/TimerTable.hpp"

namespace talkweft::platform::headless {

class HeadlessLoop : public platform::MainLoop {
public:
    enum class ClockMode { virtualClock, realClock };

    // The calling thread becomes the main thread. The virtual clock starts at an arbitrary fixed
    // point well after the clock's epoch.
    explicit HeadlessLoop(ClockMode mode = ClockMode::virtualClock);

    TimePoint now() const override;
    void post(std::function<void()> job) override;
    TimerId addTimer(Duration delay, std::function<void()> job) override;
    TimerId addRepeatingTimer(Duration interval, std::function<void()> job) override;
    void cancelTimer(TimerId id) override;
    // Virtual clock: when nothing is queued, time jumps to the next timer; with no timer left it
    // waits (real time) for a post or quit().
    void run() override;
    void quit() override;
    void sleepFor(Duration d) override;
    // Virtual clock: runs posted jobs and timers due now; does not move the clock by itself. Gives
    // up and returns false after the real-time limit (setRunUntilLimit), so a broken test fails
    // instead of hanging.
    bool runUntil(const std::function<bool()>& done) override;
    bool isMainThread() const override;

    // Main thread, virtual clock: moves the clock forward by `d`, running posted jobs and each timer
    // that falls due at its due time. (Real clock: same as sleepFor.)
    void advance(Duration d);
    // Main thread: runs posted jobs and timers due now until none remain.
    void runPending();
    // Real-time limit of runUntil (default 20 s).
    void setRunUntilLimit(std::chrono::milliseconds limit) { runUntilLimit_ = limit; }
    // Number of timers waiting (one-shot not yet fired, repeating not cancelled).
    std::size_t pendingTimers() const;

private:
    TimerId schedule(Duration delay, std::optional<Duration> interval, std::function<void()> job);
    // Runs one posted job, or else one timer due at or before `limit`. False when there was none.
    bool runOne(TimePoint limit);
    std::optional<TimePoint> nextDue() const;

    const ClockMode mode_;
    const std::thread::id mainThread_;
    std::atomic<Clock::rep> virtualNow_;
    std::chrono::milliseconds runUntilLimit_{20000};

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> posted_;           // guarded by mutex_
    TimerTable timers_;                                  // guarded by mutex_
    bool quit_ = false;                                  // guarded by mutex_
};

}  // namespace talkweft::platform::headless
