#include "Talkweft/BackgroundJobs.hpp"

#include "TalkweftCore/Task.hpp"

namespace talkweft {

BackgroundJobs::BackgroundJobs(platform::MainLoop& loop)
    : loop_(loop), alive_(std::make_shared<std::atomic<bool>>(true)), pending_(std::make_shared<std::atomic<int>>(0)) {}

BackgroundJobs::~BackgroundJobs() {
    alive_->store(false);
    for (auto& job : jobs_) job.thread.request_stop();
    jobs_.clear();  // joins
}

void BackgroundJobs::reap() {
    std::erase_if(jobs_, [](Job& j) { return j.ended->load(); });
}

void BackgroundJobs::run(std::stop_token token, std::function<void()> body, std::function<void()> done) {
    reap();
    auto ended = std::make_shared<std::atomic<bool>>(false);
    pending_->fetch_add(1);
    auto alive = alive_;
    auto pending = pending_;
    platform::MainLoop* loop = &loop_;
    std::jthread thread([token, body = std::move(body), done = std::move(done), ended, alive, pending,
                         loop](std::stop_token own) mutable {
        std::stop_source source;
        std::stop_callback fromOwner(token, [&] { source.request_stop(); });
        std::stop_callback fromJobs(own, [&] { source.request_stop(); });
        {
            CancellationScope scope(source.get_token());
            body();
        }
        // Posted before the thread ends, so the owner's destructor (which joins) orders it.
        if (alive->load())
            loop->post([alive, pending, done = std::move(done)] {
                pending->fetch_sub(1);
                if (alive->load()) done();
            });
        ended->store(true);
    });
    jobs_.push_back({std::move(thread), ended});
}

void BackgroundJobs::waitAll() {
    loop_.runUntil([&] { return pending_->load() == 0; });
    reap();
}

}  // namespace talkweft
