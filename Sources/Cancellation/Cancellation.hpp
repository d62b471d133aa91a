// Cooperative cancellation shared by the application and the speech engine.
//
// A thread may run under a "current" stop token (set by CancellationScope, which the application's
// Task does for its thread). Code anywhere below calls checkCancellation() to stop early, or
// registers a std::stop_callback on currentStopToken() to interrupt a blocking wait. The engine
// checks it between the steps of a transcription; worker threads it starts run under the token of
// the thread that started them.
#pragma once

#include <exception>
#include <stop_token>

namespace cancellation {

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

}  // namespace cancellation
