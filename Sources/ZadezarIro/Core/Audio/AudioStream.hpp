// A one-consumer stream of values with unbounded buffering, fed through a continuation from any
// thread: the stand-in for an asynchronous throwing stream. next() blocks until a value, the end or
// an error arrives. The stream terminates once: when the producer finishes it (with or without an
// error) or when the consumer cancels it or drops it; the termination handler then runs once, on the
// thread that caused the termination, and later yields are dropped. Thread-safe.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace zadezariro {

template <class T>
class AudioStream {
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<T> values;
        bool finished = false;
        std::exception_ptr error;
        std::function<void()> onTermination;

        // Marks the end; returns the handler to run (outside the lock), or nothing when already ended.
        std::function<void()> terminate(std::exception_ptr failure) {
            std::lock_guard lock(mutex);
            if (finished) return {};
            finished = true;
            error = std::move(failure);
            changed.notify_all();
            return std::exchange(onTermination, nullptr);
        }
    };

public:
    class Continuation {
    public:
        // Queues a value; false when the stream has already terminated (the value is dropped).
        bool yield(T value) const {
            std::lock_guard lock(state_->mutex);
            if (state_->finished) return false;
            state_->values.push_back(std::move(value));
            state_->changed.notify_all();
            return true;
        }
        // Ends the stream after the queued values; with an error, next() throws it after them.
        void finish(std::exception_ptr error = nullptr) const {
            if (auto handler = state_->terminate(std::move(error))) handler();
        }
        // Runs once when the stream terminates for any reason. Set it before handing the stream out.
        void setOnTermination(std::function<void()> handler) const {
            std::lock_guard lock(state_->mutex);
            state_->onTermination = std::move(handler);
        }
        bool isTerminated() const {
            std::lock_guard lock(state_->mutex);
            return state_->finished;
        }

    private:
        friend class AudioStream;
        explicit Continuation(std::shared_ptr<State> state) : state_(std::move(state)) {}
        std::shared_ptr<State> state_;
    };

    // A new stream and the continuation that feeds it.
    static std::pair<AudioStream, Continuation> make() {
        auto state = std::make_shared<State>();
        return {AudioStream(state), Continuation(state)};
    }

    AudioStream(AudioStream&&) noexcept = default;
    AudioStream& operator=(AudioStream&& other) noexcept {
        if (this != &other) {
            cancel();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    ~AudioStream() { cancel(); }

    // The next value; nothing once the stream has ended and every value was taken. Rethrows the
    // error the producer finished with, after the values queued before it.
    std::optional<T> next() {
        std::unique_lock lock(state_->mutex);
        state_->changed.wait(lock, [&] { return !state_->values.empty() || state_->finished; });
        if (!state_->values.empty()) {
            T value = std::move(state_->values.front());
            state_->values.pop_front();
            return value;
        }
        if (state_->error) std::rethrow_exception(std::exchange(state_->error, nullptr));
        return std::nullopt;
    }

    // The next value when one is queued now; never blocks, never throws.
    std::optional<T> tryNext() {
        std::lock_guard lock(state_->mutex);
        if (state_->values.empty()) return std::nullopt;
        T value = std::move(state_->values.front());
        state_->values.pop_front();
        return value;
    }

    // Stops consuming: ends the stream and runs its termination handler. Queued values are dropped.
    void cancel() {
        if (!state_) return;
        if (auto handler = state_->terminate(nullptr)) handler();
        std::lock_guard lock(state_->mutex);
        state_->values.clear();
    }

private:
    explicit AudioStream(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

}  // namespace zadezariro
