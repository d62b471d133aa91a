#include "Platform/TimerTable.hpp"

namespace talkweft::platform {

TimerId TimerTable::add(TimePoint due, std::optional<Duration> interval, std::function<void()> job) {
    const TimerId id = nextId_++;
    const Key key{due, nextSeq_++};
    timers_.emplace(key, Timer{id, interval, std::move(job)});
    keys_.emplace(id, key);
    return id;
}

void TimerTable::cancel(TimerId id) {
    auto it = keys_.find(id);
    if (it == keys_.end()) return;
    timers_.erase(it->second);
    keys_.erase(it);
}

std::optional<TimePoint> TimerTable::nextDue() const {
    if (timers_.empty()) return std::nullopt;
    return timers_.begin()->first.first;
}

std::function<void()> TimerTable::takeDue(TimePoint limit, TimePoint now) {
    if (timers_.empty() || timers_.begin()->first.first > limit) return {};
    auto node = timers_.extract(timers_.begin());
    Timer& timer = node.mapped();
    keys_.erase(timer.id);
    if (!timer.interval) return std::move(timer.job);
    TimePoint next = node.key().first + *timer.interval;
    if (next <= now) next = now + *timer.interval;
    const Key key{next, nextSeq_++};
    keys_.emplace(timer.id, key);
    std::function<void()> job = timer.job;
    timers_.emplace(key, std::move(timer));
    return job;
}

}  // namespace talkweft::platform
