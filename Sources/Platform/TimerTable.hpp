// The timers of a main loop: one-shot and repeating jobs ordered by due time (then by the order
// they were added), found by id for cancelling. Not locked: the loop that owns it guards it.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>

#include "Platform/MainLoop.hpp"

namespace talkweft::platform {

class TimerTable {
public:
    // Adds a job due at `due`, repeating every `interval` when given. Returns its id (never 0).
    TimerId add(TimePoint due, std::optional<Duration> interval, std::function<void()> job);
    // Removes a timer; an unknown id is ignored.
    void cancel(TimerId id);
    // The earliest due time; none without timers.
    std::optional<TimePoint> nextDue() const;
    // The job of the earliest timer when it is due at or before `limit`, else an empty function.
    // A one-shot timer is removed; a repeating one is put back for its next time first (so its job
    // may cancel it), and one that fell behind `now` fires once and counts its next interval from now.
    std::function<void()> takeDue(TimePoint limit, TimePoint now);
    std::size_t size() const { return timers_.size(); }
    bool empty() const { return timers_.empty(); }

private:
    struct Timer {
        TimerId id;
        std::optional<Duration> interval;
        std::function<void()> job;
    };
    using Key = std::pair<TimePoint, std::uint64_t>;  // due time, insertion order

    std::map<Key, Timer> timers_;
    std::unordered_map<TimerId, Key> keys_;
    std::uint64_t nextSeq_ = 1;
    TimerId nextId_ = 1;
};

}  // namespace talkweft::platform
