#include "Talkweft/Settings/WorkQueue.hpp"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>

namespace talkweft {

WorkQueue::WorkQueue(QObject* context)
    : context_(context), thread_([this](std::stop_token stop) { loop(stop); }) {}

WorkQueue::~WorkQueue() {
    thread_.request_stop();
    {
        std::lock_guard lock(mutex_);
        jobs_.clear();
    }
    changed_.notify_all();
}

void WorkQueue::run(Job job) {
    ++pending_;
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    changed_.notify_all();
}

void WorkQueue::loop(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [&] { return stop.stop_requested() || !jobs_.empty(); });
        if (stop.stop_requested()) return;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        busy_ = true;
        lock.unlock();
        Completion done = job();
        // Posted before the queue reports idle, so waitForIdle always finds it.
        QMetaObject::invokeMethod(
            context_,
            [this, done = std::move(done)] {
                --pending_;
                if (done) done();
            },
            Qt::QueuedConnection);
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

void WorkQueue::waitForIdle() {
    while (pending_ > 0) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return jobs_.empty() && !busy_; });
        }
        QCoreApplication::sendPostedEvents(context_, QEvent::MetaCall);
    }
}

}  // namespace talkweft
