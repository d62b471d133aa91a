#include "MLRuntime/ThreadBudget.hpp"

#include <cblas.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <thread>
#include <vector>

namespace mlruntime {

namespace {

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

}  // namespace

// Workers spin a little before sleeping: kernels of a one-token decoder step are only tens of
// microseconds long, and waking a sleeping thread costs about as much.
struct ThreadBudget::Pool {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job*> queue;  // guarded by mutex
    std::atomic<int> queued{0};
    bool stopping = false;   // guarded by mutex
    std::vector<std::thread> workers;

    explicit Pool(int count) {
        for (int i = 0; i < count; ++i) workers.emplace_back([this] { loop(); });
    }

    ~Pool() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        for (auto& worker : workers) worker.join();
    }

    void post(Job* job, int copies) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (int i = 0; i < copies; ++i) queue.push_back(job);
            queued.fetch_add(copies, std::memory_order_release);
        }
        if (copies == 1) wake.notify_one();
        else wake.notify_all();
    }

    // A worker that finds the queue empty keeps spinning for about a millisecond before it
    // sleeps, so the many short parallel loops of one prediction never pay for a wake-up.
    void loop() {
        int idle = 0;
        for (;;) {
            while (idle < 20000 && queued.load(std::memory_order_acquire) == 0) {
                ++idle;
#if defined(__x86_64__)
                __builtin_ia32_pause();
#endif
            }
            Job* job = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (queue.empty()) {
                    if (idle < 20000) continue;  // another worker took it: back to spinning
                    wake.wait(lock, [this] { return stopping || !queue.empty(); });
                    if (queue.empty()) return;  // stopping
                }
                job = queue.front();
                queue.pop_front();
                queued.fetch_sub(1, std::memory_order_relaxed);
            }
            idle = 0;
            job->run();
            // Decrement under the job's lock: once the count reaches zero the caller may destroy
            // the job, and it cannot take the lock before this block has let go of it.
            std::lock_guard<std::mutex> lock(job->mutex);
            if (job->helpersLeft.fetch_sub(1, std::memory_order_acq_rel) == 1) job->done.notify_all();
        }
    }
};

ThreadBudget::ThreadBudget(int threads)
    : capacity_(std::max(1, threads)), pool_(std::make_unique<Pool>(capacity_ - 1)) {}

ThreadBudget::~ThreadBudget() = default;

ThreadBudget& ThreadBudget::shared() {
    static ThreadBudget* budget = [] {
        int threads = static_cast<int>(std::thread::hardware_concurrency());
        if (const char* text = std::getenv("TALKWEFT_THREADS")) {
            int wanted = std::atoi(text);
            if (wanted > 0) threads = wanted;
        }
        // Our kernels call OpenBLAS from the leased threads; its own pool stays idle.
        openblas_set_num_threads(1);
        // Deliberately never destroyed: predictions may still run while static objects go away.
        return new ThreadBudget(std::max(1, threads));
    }();
    return *budget;
}

int ThreadBudget::available() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return capacity_ - leased_;
}

ThreadBudget::Lease ThreadBudget::acquire(int wanted) {
    if (wanted <= 0 || wanted > capacity_) wanted = capacity_;
    std::unique_lock<std::mutex> lock(mutex_);
    freed_.wait(lock, [this] { return leased_ < capacity_; });
    int granted = std::min(wanted, capacity_ - leased_);
    leased_ += granted;
    return Lease(this, granted);
}

void ThreadBudget::release(int threads) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        leased_ -= threads;
    }
    freed_.notify_all();
}

ThreadBudget::Lease::Lease(Lease&& other) noexcept : budget_(other.budget_), threads_(other.threads_) {
    other.budget_ = nullptr;
    other.threads_ = 0;
}

ThreadBudget::Lease::~Lease() {
    if (budget_ != nullptr && threads_ > 0) budget_->release(threads_);
}

void ThreadBudget::Lease::parallelFor(size_t count, size_t grain,
                                      const std::function<void(size_t, size_t)>& body) const {
    if (count == 0) return;
    size_t participants = static_cast<size_t>(std::max(1, threads_));
    if (grain == 0) grain = (count + participants - 1) / participants;
    size_t ranges = (count + grain - 1) / grain;
    int helpers = static_cast<int>(std::min(participants, ranges)) - 1;
    if (helpers <= 0 || budget_ == nullptr) {
        for (size_t begin = 0; begin < count; begin += grain) body(begin, std::min(count, begin + grain));
        return;
    }
    Job job;
    job.body = &body;
    job.count = count;
    job.grain = grain;
    job.helpersLeft.store(helpers, std::memory_order_relaxed);
    budget_->pool_->post(&job, helpers);
    job.run();
    // Helpers still hold a pointer to the job: wait for each of them, briefly spinning first.
    for (int spin = 0; spin < 200000 && job.helpersLeft.load(std::memory_order_acquire) != 0; ++spin) {
#if defined(__x86_64__)
        __builtin_ia32_pause();
#endif
    }
    std::unique_lock<std::mutex> lock(job.mutex);
    job.done.wait(lock, [&] { return job.helpersLeft.load(std::memory_order_acquire) == 0; });
}

}  // namespace mlruntime
