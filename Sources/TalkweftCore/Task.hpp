// A small task type with cooperative cancellation.
//
// A Task runs one function on a thread of its own with a stop source. While it runs, the task's
// stop token is the "current" token of that thread: code anywhere below it calls
// checkCancellation() to stop early, or registers a std::stop_callback on currentStopToken() to
// interrupt a blocking wait (the agent runner does this to terminate its child process).
#pragma once

#include <exception>
#include <functional>
#include <future>
#include <stop_token>
#include <thread>
#include <utility>

namespace talkweft {

// Thrown when the current task has been cancelled. Callers that cancel show no message for it.
class CancellationError : public std::exception {
public:
    const char* what() const noexcept override { return "cancelled"; }
};

// The stop token of the task running on this thread; a token that never stops when the thread runs
// no task. Thread-safe.
std::stop_token currentStopToken();

// True when the current task has been asked to stop.
bool isCancelled();

// Throws CancellationError when the current task has been asked to stop; returns otherwise.
void checkCancellation();

// Makes `token` the current stop token of this thread until the scope ends, then restores the
// previous one. Scopes nest; use one per thread only on that thread.
class CancellationScope {
public:
    explicit CancellationScope(std::stop_token token);
    ~CancellationScope();
    CancellationScope(const CancellationScope&) = delete;
    CancellationScope& operator=(const CancellationScope&) = delete;

private:
    std::stop_token previous_;
};

// One function run on its own thread. cancel() asks it to stop (cooperatively); get() waits for the
// end and returns the result or rethrows the function's exception (CancellationError included).
// Destroying a Task cancels it and waits for its thread. cancel() is thread-safe; get() may be
// called once, by one thread.
template <class T>
class Task {
public:
    explicit Task(std::function<T()> body) {
        std::packaged_task<T()> job(std::move(body));
        future_ = job.get_future();
        thread_ = std::jthread([job = std::move(job)](std::stop_token token) mutable {
            CancellationScope scope(token);
            job();
        });
    }

    Task(Task&&) = default;
    Task& operator=(Task&&) = default;

    void cancel() { thread_.request_stop(); }
    bool isCancelled() const { return thread_.get_stop_token().stop_requested(); }

    T get() {
        future_.wait();
        return future_.get();
    }

private:
    std::future<T> future_;
    std::jthread thread_;  // last: joined before the future goes away
};

}  // namespace talkweft
