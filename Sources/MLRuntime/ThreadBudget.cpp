#include "MLRuntime/ThreadBudget.hpp"

#include <cblas.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

namespace mlruntime {

namespace {

// About a millisecond of pause instructions: longer than the gaps between the loops of one
// prediction, short enough not to hold a core once the prediction is over.
constexpr int SPIN_LIMIT = 20000;

inline void pause() {
#if defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

// One step of a busy wait: mostly a pause, now and then a yield, so that on a loaded machine a
// preempted thread of ours (or anyone's) gets the core back instead of waiting out a time slice.
inline void waitStep(int spin) {
    if (spin % 64 == 63) std::this_thread::yield();
    else pause();
}

// One parallelFor in flight: participants take ranges from `next` until none is left.
struct Job {
    const std::function<void(size_t, size_t)>* body = nullptr;
    size_t count = 0;
    size_t grain = 1;
    std::atomic<size_t> next{0};
    std::atomic<int> helpersLeft{0};
    std::mutex mutex;
    std::condition_variable done;

    void run() {
        for (;;) {
            size_t begin = next.fetch_add(grain, std::memory_order_relaxed);
            if (begin >= count) return;
            (*body)(begin, std::min(count, begin + grain));
        }
    }
};

// A pool thread with a one-job mailbox.
struct Worker {
    std::atomic<Job*> mailbox{nullptr};
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;  // guarded by mutex
    std::thread thread;

    void loop() {
        int idle = 0;
        for (;;) {
            Job* job = mailbox.exchange(nullptr, std::memory_order_acq_rel);
            if (job == nullptr) {
                if (idle < SPIN_LIMIT) {
                    waitStep(idle++);
                    continue;
                }
                std::unique_lock<std::mutex> lock(mutex);
                wake.wait(lock, [this] { return stopping || mailbox.load(std::memory_order_acquire) != nullptr; });
                if (stopping) return;
                idle = 0;  // the job may have been taken back meanwhile: the loop just looks again
                continue;
            }
            idle = 0;
            job->run();
            // Decrement under the job's lock: once the count reaches zero the caller may destroy
            // the job, and it cannot take the lock before this block has let go of it.
            std::lock_guard<std::mutex> lock(job->mutex);
            if (job->helpersLeft.fetch_sub(1, std::memory_order_acq_rel) == 1) job->done.notify_all();
        }
    }

    void post(Job* job) {
        mailbox.store(job, std::memory_order_release);
        // Taking the lock orders this store before a worker's check-then-sleep.
        std::lock_guard<std::mutex> lock(mutex);
        wake.notify_one();
    }

    // Takes back a job this worker has not picked up yet; false once it has.
    bool retract(Job* job) {
        Job* expected = job;
        return mailbox.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
    }
};

}  // namespace

struct ThreadBudget::Pool {
    std::vector<std::unique_ptr<Worker>> workers;

    explicit Pool(int count) {
        for (int i = 0; i < count; ++i) {
            workers.push_back(std::make_unique<Worker>());
            Worker* worker = workers.back().get();
            worker->thread = std::thread([worker] { worker->loop(); });
        }
    }

    ~Pool() {
        for (auto& worker : workers) {
            {
                std::lock_guard<std::mutex> lock(worker->mutex);
                worker->stopping = true;
            }
            worker->wake.notify_one();
        }
        for (auto& worker : workers) worker->thread.join();
    }
};

ThreadBudget::ThreadBudget(int threads, std::chrono::milliseconds stepGrace)
    : capacity_(std::max(1, threads)),
      stepGrace_(stepGrace),
      workerLeased_(static_cast<size_t>(capacity_ - 1), false),
      pool_(std::make_unique<Pool>(capacity_ - 1)) {
    // Our kernels call OpenBLAS from the leased threads; its own pool stays idle.
    openblas_set_num_threads(1);
}

ThreadBudget::~ThreadBudget() = default;

namespace {

// The cores this process may run on: its CPU affinity (taskset, container limits), not every core
// of the machine, so that a restricted process does not spin more threads than it has cores.
int usableCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    return static_cast<int>(std::thread::hardware_concurrency());
}

}  // namespace

ThreadBudget& ThreadBudget::shared() {
    static ThreadBudget* budget = [] {
        // Deliberately never destroyed: predictions may still run while static objects go away.
        return new ThreadBudget(std::max(1, usableCores()));
    }();
    return *budget;
}

namespace {

int64_t nowNanoseconds() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int ThreadBudget::available() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return capacity_ - leased_;
}

int ThreadBudget::waiting() const { return waiting_.load(); }

bool ThreadBudget::stepsAbout() const noexcept {
    return holding_.load(std::memory_order_relaxed) > 0 ||
           nowNanoseconds() - lastStepEnd_.load(std::memory_order_relaxed) < stepGrace_.count();
}

void ThreadBudget::grantWorkers(std::vector<int>& workers, int count) {
    for (size_t i = 0; i < workerLeased_.size() && count > 0; ++i)
        if (!workerLeased_[i]) {
            workerLeased_[i] = true;
            workers.push_back(static_cast<int>(i));
            --count;
        }
}

void ThreadBudget::noteStepLoop(std::thread::id self, int64_t now) {
    // Forget loops whose last step ended before the grace; count this one's lease.
    bool known = false;
    for (size_t i = 0; i < stepLoops_.size();) {
        StepLoop& loop = stepLoops_[i];
        if (loop.thread == self) {
            known = true;
            ++loop.holding;
        } else if (loop.holding == 0 && now - loop.lastEnd >= stepGrace_.count()) {
            loop = stepLoops_.back();
            stepLoops_.pop_back();
            continue;
        }
        ++i;
    }
    if (!known) stepLoops_.push_back({self, 1, now});
}

int ThreadBudget::stepShare() const {
    const int loops = std::max(1, static_cast<int>(stepLoops_.size()));
    return std::max(1, (capacity_ - yieldingLeased_) / loops);
}

ThreadBudget::Lease ThreadBudget::acquire(int wanted, Share share) {
    if (wanted <= 0 || wanted > capacity_) wanted = capacity_;
    const auto self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(mutex_);
    // A step loop counts from its first acquire, waiting or not, so that the loops already
    // running leave it its share from their next step on.
    if (share == Share::holds) noteStepLoop(self, nowNanoseconds());
    if (leased_ >= capacity_) {
        ++waiting_;
        freed_.wait(lock, [this] { return leased_ < capacity_; });
        --waiting_;
    }
    int granted = std::min(wanted, capacity_ - leased_);
    if (share == Share::yields) {
        if (stepsAbout()) granted = std::min(granted, std::max(1, capacity_ - capacity_ / 2));
        yieldingLeased_ += granted;
    } else {
        granted = std::min(granted, stepShare());
        ++holding_;
    }
    leased_ += granted;
    ++leases_;
    // The calling thread is one of the granted threads; the rest are free pool workers. With
    // leased_ <= capacity_ there are always enough of them.
    std::vector<int> workers;
    grantWorkers(workers, granted - 1);
    return Lease(this, granted, wanted, share, self, std::move(workers));
}

void ThreadBudget::release(const Lease& lease) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        leased_ -= lease.threads_;
        --leases_;
        for (int i : lease.workers_) workerLeased_[static_cast<size_t>(i)] = false;
        if (lease.share_ == Share::holds) {
            const int64_t now = nowNanoseconds();
            lastStepEnd_.store(now, std::memory_order_relaxed);
            --holding_;
            // The lease may be released on another thread than the one that took it (moved).
            for (StepLoop& loop : stepLoops_)
                if (loop.thread == lease.owner_ && loop.holding > 0) {
                    --loop.holding;
                    loop.lastEnd = now;
                    break;
                }
        } else {
            yieldingLeased_ -= lease.threads_;
        }
    }
    freed_.notify_all();
}

void ThreadBudget::rebalance(const Lease& lease) {
    const bool anyoneWaiting = waiting_.load(std::memory_order_relaxed) > 0;
    const bool steps = stepsAbout();
    if (!anyoneWaiting && !steps && lease.threads_ == lease.wanted_) return;
    int given = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        int target = lease.wanted_;
        if (steps) target = std::min(target, std::max(1, capacity_ - capacity_ / 2));
        const int waiters = waiting_.load(std::memory_order_relaxed);
        if (waiters > 0) target = std::min(target, std::max(1, capacity_ / (leases_ + waiters)));
        if (target < lease.threads_) {
            given = lease.threads_ - target;
            for (int i = 0; i < given; ++i) {
                workerLeased_[static_cast<size_t>(lease.workers_.back())] = false;
                lease.workers_.pop_back();
            }
            lease.threads_ = target;
            leased_ -= given;
            yieldingLeased_ -= given;
        } else if (target > lease.threads_ && waiters == 0) {
            int taken = std::min(target - lease.threads_, capacity_ - leased_);
            grantWorkers(lease.workers_, taken);
            lease.threads_ += taken;
            leased_ += taken;
            yieldingLeased_ += taken;
        }
    }
    if (given > 0) freed_.notify_all();
}

ThreadBudget::Lease::Lease(Lease&& other) noexcept
    : budget_(other.budget_), threads_(other.threads_), wanted_(other.wanted_), share_(other.share_),
      owner_(other.owner_), workers_(std::move(other.workers_)) {
    other.budget_ = nullptr;
    other.threads_ = 0;
}

ThreadBudget::Lease::~Lease() {
    if (budget_ != nullptr && threads_ > 0) budget_->release(*this);
}

void ThreadBudget::Lease::rebalance() const {
    if (budget_ != nullptr && share_ == Share::yields) budget_->rebalance(*this);
}

void ThreadBudget::Lease::parallelFor(size_t count, size_t grain,
                                      const std::function<void(size_t, size_t)>& body) const {
    if (count == 0) return;
    size_t participants = static_cast<size_t>(std::max(1, threads_));
    if (grain == 0) grain = (count + participants - 1) / participants;
    size_t ranges = (count + grain - 1) / grain;
    int helpers = std::min(static_cast<int>(std::min(participants, ranges)) - 1, static_cast<int>(workers_.size()));
    if (helpers <= 0 || budget_ == nullptr) {
        for (size_t begin = 0; begin < count; begin += grain) body(begin, std::min(count, begin + grain));
        return;
    }
    Job job;
    job.body = &body;
    job.count = count;
    job.grain = grain;
    job.helpersLeft.store(helpers, std::memory_order_relaxed);
    auto& workers = budget_->pool_->workers;
    for (int i = 0; i < helpers; ++i) workers[static_cast<size_t>(workers_[static_cast<size_t>(i)])]->post(&job);
    job.run();
    // Every range is done or being done. A helper that has not even picked the job up (asleep or
    // preempted) is not waited for: its post is taken back.
    for (int i = 0; i < helpers; ++i)
        if (workers[static_cast<size_t>(workers_[static_cast<size_t>(i)])]->retract(&job))
            job.helpersLeft.fetch_sub(1, std::memory_order_acq_rel);
    // The others hold a pointer to the job: wait for each of them, briefly spinning first.
    for (int spin = 0; spin < SPIN_LIMIT && job.helpersLeft.load(std::memory_order_acquire) != 0; ++spin) waitStep(spin);
    std::unique_lock<std::mutex> lock(job.mutex);
    job.done.wait(lock, [&] { return job.helpersLeft.load(std::memory_order_acquire) == 0; });
}

}  // namespace mlruntime
