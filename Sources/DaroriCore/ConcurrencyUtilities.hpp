// Small concurrency primitives shared by the engine's records and model wrappers: a non-recursive
// lock, two wrappers that guard one value each, a weak reference that may cross threads, and a
// table of per-run stop flags. None of them starts threads or timers.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

#include <nlohmann/json.hpp>

#include "DaroriCore/UUID.hpp"

namespace darori {

namespace ConcurrencyUtilities {
// The number of processors currently online, read afresh on every call (at least 1).
int activeProcessorCount();
}  // namespace ConcurrencyUtilities

// A plain non-recursive lock. Taking it again on the thread that holds it is a programming error.
// Shared between copies through std::shared_ptr.
class UnfairLock {
public:
    UnfairLock() = default;
    UnfairLock(const UnfairLock&) = delete;
    UnfairLock& operator=(const UnfairLock&) = delete;

    // Runs `body` with the lock held and returns its result; an exception thrown by `body` is
    // passed on, and the lock is released on both paths.
    template <class Body>
    decltype(auto) withLock(Body&& body) {
        std::lock_guard guard(mutex_);
        return std::forward<Body>(body)();
    }

private:
    std::mutex mutex_;
};

// One value guarded by a lock of its own; every read copies the value under the lock, every write
// replaces it under the lock. Copying the wrapper copies the value and shares the lock.
// modify() is a read and a write under two separate acquisitions: two threads modifying the same
// wrapper at once can lose one change. Serialises to JSON as the bare value.
template <class Value>
class PropertyLock {
public:
    explicit PropertyLock(Value wrappedValue = Value{})
        : lock_(std::make_shared<UnfairLock>()), value_(std::move(wrappedValue)) {}
    PropertyLock(const PropertyLock& other)
        : lock_(other.lock_), value_(other.lock_->withLock([&] { return other.value_; })) {}
    PropertyLock& operator=(const PropertyLock& other) {
        if (this != &other) {
            Value copy = other.get();
            lock_ = other.lock_;
            set(std::move(copy));
        }
        return *this;
    }

    Value get() const {
        return lock_->withLock([&] { return value_; });
    }
    void set(Value newValue) {
        lock_->withLock([&] { value_ = std::move(newValue); });
    }
    // Copies the value out, lets `change` edit the copy without the lock, stores it back.
    template <class Change>
    void modify(Change&& change) {
        Value copy = get();
        std::forward<Change>(change)(copy);
        set(std::move(copy));
    }

    // Encodes the bare value while holding the lock; the encoder's exceptions pass through.
    friend void to_json(nlohmann::json& j, const PropertyLock& p) {
        p.lock_->withLock([&] { j = p.value_; });
    }
    friend void to_json(nlohmann::ordered_json& j, const PropertyLock& p) {
        p.lock_->withLock([&] { j = p.value_; });
    }
    // Decodes the bare value and gives the wrapper a fresh lock; on a decoding error `p` is
    // left unchanged and the error passed on.
    friend void from_json(const nlohmann::json& j, PropertyLock& p) { p = fresh(j.template get<Value>()); }
    friend void from_json(const nlohmann::ordered_json& j, PropertyLock& p) { p = fresh(j.template get<Value>()); }

private:
    static PropertyLock fresh(Value v) { return PropertyLock(std::move(v)); }
    std::shared_ptr<UnfairLock> lock_;
    Value value_;
};

// One value and its lock in one shared heap block: copies of the wrapper share lock and value.
// get() copies under the lock; set() replaces under the lock; modify() is get then set.
template <class Value>
class Protected {
public:
    Protected() : block_(std::make_shared<Block>()) {}
    explicit Protected(Value wrappedValue) : block_(std::make_shared<Block>(std::move(wrappedValue))) {}

    Value get() const {
        std::lock_guard guard(block_->mutex);
        return block_->value;
    }
    // The old value is destroyed after the lock is released.
    void set(Value newValue) {
        std::unique_lock guard(block_->mutex);
        [[maybe_unused]] Value old = std::move(block_->value);
        block_->value = std::move(newValue);
        guard.unlock();
    }
    template <class Change>
    void modify(Change&& change) {
        Value copy = get();
        std::forward<Change>(change)(copy);
        set(std::move(copy));
    }

private:
    struct Block {
        Block() = default;
        explicit Block(Value v) : value(std::move(v)) {}
        std::mutex mutex;
        Value value{};
    };
    std::shared_ptr<Block> block_;
};

// A weak reference that may be handed to work on another thread. value() is the object while it
// is alive, null once its last owner has gone. Thread-safe.
template <class T>
class WeakSendableWrapper {
public:
    explicit WeakSendableWrapper(const std::shared_ptr<T>& object = nullptr) : value_(object) {}

    std::shared_ptr<T> value() const {
        std::lock_guard guard(mutex_);
        return value_.lock();
    }
    void setValue(const std::shared_ptr<T>& object) {
        std::lock_guard guard(mutex_);
        value_ = object;
    }

private:
    mutable std::mutex mutex_;
    std::weak_ptr<T> value_;
};

// Per-run stop flags of one text decoder. Operations run one at a time; any thread may call them.
class EarlyStopActor {
public:
    // Stores or overwrites the flag of `run`.
    void set(bool flag, const UUID& run);
    // The stored flag; false when the run has no entry.
    bool get(const UUID& run) const;
    // Removes the entry and returns its flag; absent when there was none.
    std::optional<bool> remove(const UUID& run);

private:
    mutable std::mutex mutex_;
    std::unordered_map<UUID, bool> shouldStop_;  // guarded by mutex_
};

}  // namespace darori
