#include "Platform/Headless/HeadlessLoop.hpp"

#include <algorithm>

namespace talkweft::platform::headless {

HeadlessLoop::HeadlessLoop(ClockMode mode)
    : mode_(mode),
      mainThread_(std::this_thread::get_id()),
      virtualNow_((TimePoint{} + std::chrono::hours(1000)).time_since_epoch().count()) {}

TimePoint HeadlessLoop::now() const {
    if (mode_ == ClockMode::realClock) return Clock::now();
    return TimePoint(Duration(virtualNow_.load()));
}

void HeadlessLoop::post(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(job));
    }
    wake_.notify_all();
}

TimerId HeadlessLoop::addTimer(Duration delay, std::function<void()> job) {
    return schedule(delay, std::nullopt, std::move(job));
}

TimerId HeadlessLoop::addRepeatingTimer(Duration interval, std::function<void()> job) {
    return schedule(interval, std::max(interval, Duration(1)), std::move(job));
}

TimerId HeadlessLoop::schedule(Duration delay, std::optional<Duration> interval, std::function<void()> job) {
    TimerId id;
    {
        std::lock_guard lock(mutex_);
        id = timers_.add(now() + std::max(delay, Duration(0)), interval, std::move(job));
    }
    wake_.notify_all();
    return id;
}

void HeadlessLoop::cancelTimer(TimerId id) {
    std::lock_guard lock(mutex_);
    timers_.cancel(id);
}

std::size_t HeadlessLoop::pendingTimers() const {
    std::lock_guard lock(mutex_);
    return timers_.size();
}

std::optional<TimePoint> HeadlessLoop::nextDue() const {
    std::lock_guard lock(mutex_);
    return timers_.nextDue();
}

bool HeadlessLoop::runOne(TimePoint limit) {
    std::function<void()> job;
    {
        std::lock_guard lock(mutex_);
        if (!posted_.empty()) {
            job = std::move(posted_.front());
            posted_.pop_front();
        } else {
            job = timers_.takeDue(limit, now());
            if (!job) return false;
        }
    }
    job();
    return true;
}

void HeadlessLoop::runPending() {
    while (runOne(now())) {
    }
}

void HeadlessLoop::advance(Duration d) {
    if (mode_ == ClockMode::realClock) {
        sleepFor(d);
        return;
    }
    const TimePoint target = now() + std::max(d, Duration(0));
    for (;;) {
        runPending();
        auto due = nextDue();
        if (!due || *due > target) break;
        // Jobs run inside may have moved the clock already (nested sleeps); never move it back.
        if (*due > now()) virtualNow_.store(due->time_since_epoch().count());
    }
    if (target > now()) virtualNow_.store(target.time_since_epoch().count());
    runPending();
}

void HeadlessLoop::sleepFor(Duration d) {
    if (mode_ == ClockMode::virtualClock) {
        advance(d);
        return;
    }
    const TimePoint deadline = Clock::now() + d;
    for (;;) {
        runPending();
        if (Clock::now() >= deadline) return;
        std::unique_lock lock(mutex_);
        TimePoint wakeAt = deadline;
        if (!timers_.empty()) wakeAt = std::min(wakeAt, *timers_.nextDue());
        wake_.wait_until(lock, wakeAt, [&] { return !posted_.empty(); });
    }
}

bool HeadlessLoop::runUntil(const std::function<bool()>& done) {
    const auto giveUp = std::chrono::steady_clock::now() + runUntilLimit_;
    for (;;) {
        if (done()) return true;
        {
            std::lock_guard lock(mutex_);
            if (quit_) return false;
        }
        if (runOne(now())) continue;
        if (std::chrono::steady_clock::now() >= giveUp) return false;
        std::unique_lock lock(mutex_);
        auto wakeAt = std::min(giveUp, std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
        if (mode_ == ClockMode::realClock && !timers_.empty()) wakeAt = std::min(wakeAt, *timers_.nextDue());
        wake_.wait_until(lock, wakeAt, [&] { return !posted_.empty() || quit_; });
    }
}

void HeadlessLoop::run() {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (quit_) {
                quit_ = false;
                return;
            }
        }
        if (runOne(now())) continue;
        std::unique_lock lock(mutex_);
        if (quit_ || !posted_.empty()) continue;
        if (mode_ == ClockMode::virtualClock) {
            if (!timers_.empty()) {
                TimePoint due = *timers_.nextDue();
                if (due > now()) virtualNow_.store(due.time_since_epoch().count());
                continue;
            }
            wake_.wait(lock, [&] { return !posted_.empty() || quit_ || !timers_.empty(); });
        } else if (!timers_.empty()) {
            wake_.wait_until(lock, *timers_.nextDue(), [&] { return !posted_.empty() || quit_; });
        } else {
            wake_.wait(lock, [&] { return !posted_.empty() || quit_ || !timers_.empty(); });
        }
    }
}

void HeadlessLoop::quit() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
}

bool HeadlessLoop::isMainThread() const { return std::this_thread::get_id() == mainThread_; }

}  // namespace talkweft::platform::headless
