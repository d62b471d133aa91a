#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace mlruntime {

// One process-wide budget of compute threads, shared by every prediction that runs at once, so
// that several concurrent predictions never keep more threads busy than the machine has cores.
//
// A prediction takes a Lease of up to N threads (its own calling thread counts as one) and spreads
// its kernels over them with Lease::parallelFor. The other threads of a lease are workers of the
// budget's pool reserved for it: they spin briefly between the many short loops of a prediction
// and sleep otherwise, and workers outside any lease never spin. Creating a budget switches
// OpenBLAS to one thread: our kernels call it from the leased threads, so its own pool never
// spins beside ours.
class ThreadBudget {
public:
    class Lease;

    // A budget of `threads` threads (at least 1), with its own worker pool of threads-1 workers.
    explicit ThreadBudget(int threads);
    ~ThreadBudget();
    ThreadBudget(const ThreadBudget&) = delete;
    ThreadBudget& operator=(const ThreadBudget&) = delete;

    // The process-wide budget, sized to the cores this process may use (its CPU affinity).
    // Created on first use; thread-safe.
    static ThreadBudget& shared();

    int capacity() const noexcept { return capacity_; }
    // Threads not leased at this moment (a snapshot).
    int available() const;

    // Takes up to `wanted` threads (0 or less: all the budget has). Blocks while every thread is
    // leased; returns as soon as at least one is free. Thread-safe. The lease returns its threads
    // when destroyed. A thread holding a lease must not acquire another (it could wait forever).
    Lease acquire(int wanted = 0);

    class Lease {
    public:
        Lease(Lease&& other) noexcept;
        Lease& operator=(Lease&&) = delete;
        ~Lease();

        int threads() const noexcept { return threads_; }

        // Calls body(begin, end) over consecutive ranges covering [0, count), each at most `grain`
        // long (grain 0: count split evenly over the lease's threads), on the lease's threads and
        // the calling one; returns when every range is done. The body must not throw. Call from
        // the thread that holds the lease, one parallelFor at a time per lease.
        void parallelFor(size_t count, size_t grain, const std::function<void(size_t, size_t)>& body) const;

    private:
        friend class ThreadBudget;
        Lease(ThreadBudget* budget, int threads, std::vector<int> workers)
            : budget_(budget), threads_(threads), workers_(std::move(workers)) {}
        ThreadBudget* budget_;
        int threads_;
        std::vector<int> workers_;  // pool workers reserved for this lease (threads_ - 1 of them)
    };

private:
    struct Pool;
    void release(int threads, const std::vector<int>& workers);

    int capacity_;
    mutable std::mutex mutex_;
    std::condition_variable freed_;
    int leased_ = 0;                 // guarded by mutex_
    std::vector<bool> workerLeased_;  // guarded by mutex_
    std::unique_ptr<Pool> pool_;
};

}  // namespace mlruntime
