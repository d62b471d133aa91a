// A small task type with cooperative cancellation.
//
// A Task runs one function on a thread of its own with a stop source. While it runs, the task's
// stop token is the "current" token of that thread (Cancellation.hpp): code anywhere below it calls
// checkCancellation() to stop early, or registers a std::stop_callback on currentStopToken() to
// interrupt a blocking wait (the agent runner does this to terminate its child process).
#pragma once

#include "Cancellation/Cancellation.hpp"

#include <exception>
#include <functional>
#include <future>
#include <stop_token>
#include <thread>
#include <utility>

namespace talkweft {

using cancellation::CancellationError;
using cancellation::CancellationScope;
using cancellation::checkCancellation;
using cancellation::currentStopToken;
using cancellation::isCancelled;

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
