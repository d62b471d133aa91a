// One worker thread for the settings window's disk and git work, so the window never waits on
// them: jobs run one after another, in order, and each hands back a completion that runs on the
// UI thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class QObject;

namespace talkweft {

class WorkQueue {
public:
    using Completion = std::function<void()>;
    using Job = std::function<Completion()>;

    // Completions are delivered to `context`'s thread as queued calls (dropped with `context`).
    explicit WorkQueue(QObject* context);
    // Finishes the job under way and drops the rest; their completions never run.
    ~WorkQueue();
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    // Queues `job`; the completion it returns (may be empty) runs later on the UI thread. UI thread.
    void run(Job job);

    // UI thread: waits until every queued job has run and its completion too, also the jobs that
    // completions queue in turn.
    void waitForIdle();

    // Jobs queued whose completion has not run yet. UI thread.
    int pending() const { return pending_; }

private:
    void loop(std::stop_token stop);

    QObject* context_;
    int pending_ = 0;  // UI thread only
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;  // guarded by mutex_
    bool busy_ = false;     // guarded by mutex_
    std::jthread thread_;   // last: starts after the rest is ready, stops first
};

}  // namespace talkweft
