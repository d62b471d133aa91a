// Work the main thread hands to other threads: each job runs on a thread of its own with a stop
// token as its current cancellation token, and its completion is posted back to the main loop.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

#include "Platform/MainLoop.hpp"

namespace talkweft {

class BackgroundJobs {
public:
    explicit BackgroundJobs(platform::MainLoop& loop);
    // Asks every job to stop and waits for their threads; completions not yet run never run.
    ~BackgroundJobs();
    BackgroundJobs(const BackgroundJobs&) = delete;
    BackgroundJobs& operator=(const BackgroundJobs&) = delete;

    // Runs `body` on a new thread; cancelling `token` (or destroying this object) cancels the job's
    // current task (checkCancellation() throws inside it). `done` then runs on the main loop. Main
    // thread.
    void run(std::stop_token token, std::function<void()> body, std::function<void()> done);

    // Main thread: waits until every job started so far has ended and its completion has run.
    void waitAll();

private:
    struct Job {
        std::jthread thread;
        std::shared_ptr<std::atomic<bool>> ended;
    };
    void reap();

    platform::MainLoop& loop_;
    std::shared_ptr<std::atomic<bool>> alive_;
    std::vector<Job> jobs_;  // main thread only
    std::shared_ptr<std::atomic<int>> pending_;  // completions not yet run
};

}  // namespace talkweft
