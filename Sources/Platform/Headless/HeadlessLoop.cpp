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
        id = nextTimerId_++;
        Key key{now() + std::max(delay, Duration(0)), nextSeq_++};
        timers_.emplace(key, Timer{id, interval, std::move(job)});
        timerKeys_.emplace(id, key);
    }
    wake_.notify_all();
    return id;
}

void HeadlessLoop::cancelTimer(TimerId id) {
    std::lock_guard lock(mutex_);
    auto it = timerKeys_.find(id);
    if (it == timerKeys_.end()) return;
    timers_.erase(it->second);
    timerKeys_.erase(it);
}

std::size_t HeadlessLoop::pendingTimers() const {
    std::lock_guard lock(mutex_);
    return timers_.size();
}

std::optional<TimePoint> HeadlessLoop::nextDue() const {
    std::lock_guard lock(mutex_);
    if (timers_.empty()) return std::nullopt;
    return timers_.begin()->first.first;
}

bool HeadlessLoop::runOne(TimePoint limit) {
    std::function<void()> job;
    {
        std::lock_guard lock(mutex_);
        if (!posted_.empty()) {
            job = std::move(posted_.front());
            posted_.pop_front();
        } else if (!timers_.empty() && timers_.begin()->first.first <= limit) {
            auto node = timers_.extract(timers_.begin());
            Timer& timer = node.mapped();
            timerKeys_.erase(timer.id);
            if (timer.interval) {
                // Re-arm before running so the job may cancel its own timer. A late timer fires
                // once and is re-armed from now.
                TimePoint next = node.key().first + *timer.interval;
                if (next <= now()) next = now() + *timer.interval;
                Key key{next, nextSeq_++};
                timerKeys_.emplace(timer.id, key);
                job = timer.job;
                timers_.emplace(key, std::move(timer));
            } else {
                job = std::move(timer.job);
            }
        } else {
            return false;
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
        if (!timers_.empty()) wakeAt = std::min(wakeAt, timers_.begin()->first.first);
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
        if (mode_ == ClockMode::realClock && !timers_.empty()) wakeAt = std::min(wakeAt, timers_.begin()->first.first);
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
                TimePoint due = timers_.begin()->first.first;
                if (due > now()) virtualNow_.store(due.time_since_epoch().count());
                continue;
            }
            wake_.wait(lock, [&] { return !posted_.empty() || quit_ || !timers_.empty(); });
        } else if (!timers_.empty()) {
            wake_.wait_until(lock, timers_.begin()->first.first, [&] { return !posted_.empty() || quit_; });
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
