// The main loop: one thread that runs posted jobs and timers. All application state is touched on
// that thread only; background work posts its result back with post().
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace talkweft::platform {

// The loop's continuous clock. The headless backend runs a virtual clock of the same type that only
// moves when the loop is told to advance (or sleeps), so tests never wait for real time.
using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Duration = Clock::duration;

// A duration of `s` seconds (fractions kept to the clock's tick).
inline Duration seconds(double s) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}

using TimerId = std::uint64_t;

class MainLoop {
public:
    virtual ~MainLoop() = default;

    // Now on the loop's clock. Any thread.
    virtual TimePoint now() const = 0;

    // Queues `job` to run on the main thread after the jobs already queued. Any thread.
    virtual void post(std::function<void()> job) = 0;

    // Runs `job` once on the main thread when `delay` has passed on the loop's clock. Returns an id
    // for cancelTimer (never 0). Any thread.
    virtual TimerId addTimer(Duration delay, std::function<void()> job) = 0;

    // Runs `job` on the main thread every `interval` (first run one interval from now) until
    // cancelled. A timer that falls behind fires once, not once per missed interval. Any thread.
    virtual TimerId addRepeatingTimer(Duration interval, std::function<void()> job) = 0;

    // Cancels a timer; an id that has fired (one-shot), was cancelled or is unknown is ignored.
    // A timer cancelled from inside another job never runs afterwards. Any thread.
    virtual void cancelTimer(TimerId id) = 0;

    // Main thread: runs jobs and timers until quit() is called.
    virtual void run() = 0;

    // Makes run() return after the job that is running now. Any thread.
    virtual void quit() = 0;

    // Main thread: waits `d` on the loop's clock while the loop keeps running other jobs and timers
    // (a nested loop), then returns. This is how the application "suspends" without blocking the
    // main thread. Jobs run inside it must not rely on it returning before they end.
    virtual void sleepFor(Duration d) = 0;

    // Main thread: runs jobs and timers until `done()` is true (checked after each job), then
    // returns. Used to wait for background work that posts its end. Never returns while `done()`
    // stays false, unless quit() is called (then returns false).
    virtual bool runUntil(const std::function<bool()>& done) = 0;

    // True on the thread that runs the loop. Any thread.
    virtual bool isMainThread() const = 0;
};

}  // namespace talkweft::platform
