// Fan-out of states to any number of subscribers. The broadcaster keeps the latest state and hands
// it to each new subscriber first (or the initial state while nothing was broadcast), so a late
// subscriber still sees where things stand. Thread-safe.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <unordered_map>
#include <vector>

namespace darori {

template <class T>
class Broadcaster : public std::enable_shared_from_this<Broadcaster<T>> {
public:
    // One subscriber's unbounded queue of states, in broadcast order. Destroying it unsubscribes.
    class Subscription {
    public:
        ~Subscription() {
            if (auto owner = owner_.lock()) owner->unsubscribe(id_);
        }
        // Blocks until a state arrives and returns it; absent once `stop` is requested.
        std::optional<T> next(std::stop_token stop = {}) {
            std::unique_lock lock(mutex_);
            std::stop_callback wake(stop, [this] {
                std::lock_guard guard(mutex_);
                ready_.notify_all();
            });
            ready_.wait(lock, [&] { return !queue_.empty() || stop.stop_requested(); });
            if (queue_.empty()) return std::nullopt;
            T value = std::move(queue_.front());
            queue_.pop_front();
            return value;
        }

    private:
        friend class Broadcaster;
        void push(const T& value) {
            std::lock_guard guard(mutex_);
            queue_.push_back(value);
            ready_.notify_all();
        }
        std::weak_ptr<Broadcaster> owner_;
        std::uint64_t id_ = 0;
        std::mutex mutex_;
        std::condition_variable ready_;
        std::deque<T> queue_;  // guarded by mutex_
    };

    static std::shared_ptr<Broadcaster> make(std::function<std::optional<T>()> initialState) {
        return std::shared_ptr<Broadcaster>(new Broadcaster(std::move(initialState)));
    }

    // Registers a subscriber whose queue starts with the latest state (or the initial one).
    std::shared_ptr<Subscription> subscribe() {
        auto subscription = std::make_shared<Subscription>();
        subscription->owner_ = this->weak_from_this();
        std::optional<T> first;
        {
            std::lock_guard guard(mutex_);
            subscription->id_ = ++nextId_;
            continuations_[subscription->id_] = subscription;
            first = latestState_;
        }
        if (!first && initialState_) first = initialState_();
        if (first) subscription->push(*first);
        return subscription;
    }

    // Stores the state as the latest and hands it to every live subscriber.
    // A subscription released meanwhile is destroyed here, after the lock is let go.
    void broadcast(const T& state) {
        std::vector<std::shared_ptr<Subscription>> live;
        {
            std::lock_guard guard(mutex_);
            latestState_ = state;
            for (auto& [id, weak] : continuations_) {
                if (auto s = weak.lock()) live.push_back(std::move(s));
            }
            for (auto& s : live) s->push(state);
        }
    }

    std::optional<T> latestState() const {
        std::lock_guard guard(mutex_);
        return latestState_;
    }

private:
    explicit Broadcaster(std::function<std::optional<T>()> initialState) : initialState_(std::move(initialState)) {}
    void unsubscribe(std::uint64_t id) {
        std::lock_guard guard(mutex_);
        continuations_.erase(id);
    }

    const std::function<std::optional<T>()> initialState_;
    mutable std::mutex mutex_;
    std::optional<T> latestState_;                                          // guarded by mutex_
    std::unordered_map<std::uint64_t, std::weak_ptr<Subscription>> continuations_;  // guarded by mutex_
    std::uint64_t nextId_ = 0;                                             // guarded by mutex_
};

}  // namespace darori
