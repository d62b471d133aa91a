#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
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
//
// Long work (a mel or encoder window) must not keep a short step (one decoder token) waiting for
// its whole run: its lease yields (Share::yields) and calls Lease::rebalance between kernels.
// There it gives threads back while anyone waits for a lease, down to an even share of the
// budget; while short steps run, or ran within the step grace, it keeps half the budget free for
// them; otherwise it takes freed threads back, up to what it asked for.
//
// Short steps come in loops (one decoding loop per transcription, each on its own thread, a
// holding lease per token). A holding lease gets at most an even share of what yielding leases
// leave: that divided by the step loops about (threads with a holding lease out, waiting for one,
// or whose last one ended within the step grace). So concurrent loops each find their share free
// at every step instead of handing the whole budget from one step to the other through acquire;
// a loop alone gets all it asks for. A new loop may wait once, for the first lease released.
class ThreadBudget {
public:
    class Lease;

    // How a lease behaves while other work wants threads.
    enum class Share {
        holds,   // keeps its threads until released (short work: a decoder step)
        yields,  // gives threads back at Lease::rebalance (long work: a whole window)
    };

    static constexpr std::chrono::milliseconds DEFAULT_STEP_GRACE{20};

    // A budget of `threads` threads (at least 1), with its own worker pool of threads-1 workers.
    // `stepGrace`: how long after a holding lease ends yielding leases still keep half the budget
    // free, and its loop still counts in the other loops' shares, so that the next step of a
    // decoding loop finds its threads at once.
    explicit ThreadBudget(int threads, std::chrono::milliseconds stepGrace = DEFAULT_STEP_GRACE);
    ~ThreadBudget();
    ThreadBudget(const ThreadBudget&) = delete;
    ThreadBudget& operator=(const ThreadBudget&) = delete;

    // The process-wide budget, sized to the cores this process may use (its CPU affinity).
    // Created on first use; thread-safe.
    static ThreadBudget& shared();

    int capacity() const noexcept { return capacity_; }
    // Threads not leased at this moment (a snapshot).
    int available() const;
    // Threads blocked in acquire at this moment (a snapshot).
    int waiting() const;

    // Takes up to `wanted` threads (0 or less: all the budget has). Blocks while every thread is
    // leased; returns as soon as at least one is free. A yielding lease starts with at most half
    // the budget while short steps are about; a holding one gets at most its loop's even share
    // (see above). Thread-safe. The lease returns its threads when
    // destroyed. A thread holding a lease must not acquire another (it could wait forever).
    Lease acquire(int wanted = 0, Share share = Share::holds);

    class Lease {
    public:
        Lease(Lease&& other) noexcept;
        Lease& operator=(Lease&&) = delete;
        ~Lease();

        // Threads of the lease now, the calling one included (a yielding lease's count changes
        // only in rebalance).
        int threads() const noexcept { return threads_; }

        // For a yielding lease: gives threads back to waiting or recent short work, or takes freed
        // ones back (see ThreadBudget). Cheap when nothing changes; does nothing for a holding
        // lease. Call from the holding thread between parallelFor calls.
        void rebalance() const;

        // Calls body(begin, end) over consecutive ranges covering [0, count), each at most `grain`
        // long (grain 0: count split evenly over the lease's threads), on the lease's threads and
        // the calling one; returns when every range is done. The body must not throw. Call from
        // the thread that holds the lease, one parallelFor at a time per lease.
        void parallelFor(size_t count, size_t grain, const std::function<void(size_t, size_t)>& body) const;

    private:
        friend class ThreadBudget;
        Lease(ThreadBudget* budget, int threads, int wanted, Share share, std::thread::id owner, std::vector<int> workers)
            : budget_(budget), threads_(threads), wanted_(wanted), share_(share), owner_(owner),
              workers_(std::move(workers)) {}
        ThreadBudget* budget_;
        mutable int threads_;
        int wanted_;
        Share share_;
        std::thread::id owner_;  // the thread that acquired it
        mutable std::vector<int> workers_;  // pool workers reserved for this lease (threads_ - 1 of them)
    };

private:
    struct Pool;
    void release(const Lease& lease);
    void rebalance(const Lease& lease);
    // Whether a holding lease is out or ended within the step grace (lock-free).
    bool stepsAbout() const noexcept;
    // Counts a holding lease of thread `self` in its step loop (adding the loop if new) and
    // forgets loops whose last lease ended before the step grace. Requires mutex_.
    void noteStepLoop(std::thread::id self, int64_t now);
    // The share of a holding lease: the threads that yielding leases do not hold, split evenly
    // over the step loops about. Requires mutex_.
    int stepShare() const;
    // Marks free workers as leased and hands them to `lease`, up to `count`. Requires mutex_.
    void grantWorkers(std::vector<int>& workers, int count);

    int capacity_;
    std::chrono::nanoseconds stepGrace_;
    mutable std::mutex mutex_;
    std::condition_variable freed_;
    int leased_ = 0;                  // guarded by mutex_
    int leases_ = 0;                  // guarded by mutex_: leases out
    std::vector<bool> workerLeased_;  // guarded by mutex_
    int yieldingLeased_ = 0;          // guarded by mutex_: threads of yielding leases
    // Guarded by mutex_: the step loops about, one per thread that takes holding leases.
    struct StepLoop {
        std::thread::id thread;
        int holding;      // its holding leases out
        int64_t lastEnd;  // when its last one ended (steady clock, nanoseconds)
    };
    std::vector<StepLoop> stepLoops_;
    // Mirrors for rebalance's lock-free look: threads blocked in acquire, holding leases out, and
    // when the last holding lease ended (steady clock, nanoseconds).
    std::atomic<int> waiting_{0};
    std::atomic<int> holding_{0};
    std::atomic<int64_t> lastStepEnd_{std::numeric_limits<int64_t>::min() / 2};
    std::unique_ptr<Pool> pool_;
};

}  // namespace mlruntime
