// Every optimised kernel against a plain double-precision reference over many shapes, on every
// kernel path the CPU supports.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <future>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "KernelPaths.hpp"
#include "MLRuntime/Error.hpp"
#include "MLRuntime/Kernels.hpp"
#include "MLRuntime/ThreadBudget.hpp"

using namespace mlruntime;
using namespace mlruntime::kernels;

namespace {

std::vector<float> randomValues(size_t n, unsigned seed, float scale = 1.0f) {
    std::mt19937 random(seed);
    std::normal_distribution<float> draw(0.0f, scale);
    std::vector<float> values(n);
    for (auto& v : values) v = draw(random);
    return values;
}

void expectNear(const std::vector<float>& actual, const std::vector<double>& expected, double tolerance,
                const std::string& what) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i)
        if (std::fabs(actual[i] - expected[i]) > tolerance * (1.0 + std::fabs(expected[i]))) {
            ADD_FAILURE() << what << " [" << i << "]: " << actual[i] << " vs " << expected[i];
            return;
        }
}

double geluReference(double x) { return 0.5 * x * (1.0 + std::erf(x / std::sqrt(2.0))); }

class KernelsTest : public ::testing::TestWithParam<KernelPath> {
protected:
    KernelPathScope path_{GetParam()};
    ThreadBudget budget_{4};
};

INSTANTIATE_TEST_SUITE_P(EveryPath, KernelsTest, ::testing::ValuesIn(supportedKernelPaths()),
                         [](const ::testing::TestParamInfo<KernelPath>& info) { return kernelPathName(info.param); });

TEST(KernelPathTest, PathsAreNamedAndOnlySupportedOnesCanBeChosen) {
    for (KernelPath path : {KernelPath::scalar, KernelPath::avx2, KernelPath::avx512}) {
        EXPECT_EQ(kernelPathNamed(kernelPathName(path)), path);
        if (isSupported(path)) {
            KernelPathScope scope(path);
            EXPECT_EQ(kernelPath(), path);
            EXPECT_EQ(hasHardwareHalfConversion(), path != KernelPath::scalar);
        } else {
            KernelPath before = kernelPath();
            EXPECT_THROW(setKernelPath(path), Error);
            EXPECT_EQ(kernelPath(), before);
        }
    }
    EXPECT_EQ(kernelPathNamed("AVX2"), std::nullopt);
    EXPECT_TRUE(isSupported(KernelPath::scalar));
    EXPECT_EQ(supportedKernelPaths().front(), KernelPath::scalar);
#if defined(__x86_64__)
    // The figures below were taken on machines with AVX2; a build that lost its detection would
    // quietly test the scalar path only.
    EXPECT_EQ(isSupported(KernelPath::avx2), __builtin_cpu_supports("avx2") != 0);
#endif
}

TEST_P(KernelsTest, LinearMatchesPlainProductsWithEveryEpilogue) {
    struct Shape { size_t rows, in, out; };
    auto lease = budget_.acquire();
    for (Shape s : {Shape{1, 1, 1}, Shape{3, 5, 7}, Shape{17, 64, 33}, Shape{130, 48, 96}, Shape{257, 31, 12}}) {
        for (Epilogue epilogue : {Epilogue::none, Epilogue::gelu, Epilogue::accumulate}) {
            SCOPED_TRACE(testing::Message() << s.rows << "x" << s.in << "->" << s.out << " epilogue "
                                            << static_cast<int>(epilogue));
            const size_t lda = s.in + 3, ldc = s.out + 2;  // strided rows
            auto a = randomValues(s.rows * lda, 1);
            auto w = randomValues(s.out * s.in, 2, 0.3f);
            auto bias = randomValues(s.out, 3);
            auto c = randomValues(s.rows * ldc, 4);
            std::vector<double> expected(c.begin(), c.end());
            for (size_t r = 0; r < s.rows; ++r)
                for (size_t o = 0; o < s.out; ++o) {
                    double sum = bias[o];
                    for (size_t k = 0; k < s.in; ++k) sum += static_cast<double>(a[r * lda + k]) * w[o * s.in + k];
                    double& e = expected[r * ldc + o];
                    e = epilogue == Epilogue::gelu ? geluReference(sum) : epilogue == Epilogue::accumulate ? e + sum : sum;
                }
            linear(lease, a.data(), s.rows, s.in, lda, w.data(), bias.data(), s.out, c.data(), ldc, epilogue);
            expectNear(c, expected, 1e-5, "linear");
        }
    }
}

TEST_P(KernelsTest, MatrixVectorProductsInBothPrecisions) {
    auto lease = budget_.acquire();
    for (auto [rows, cols] : std::vector<std::pair<size_t, size_t>>{{1, 1}, {7, 9}, {64, 33}, {1000, 384}, {5, 1537}}) {
        SCOPED_TRACE(testing::Message() << rows << "x" << cols);
        auto w = randomValues(rows * cols, 5);
        auto x = randomValues(cols, 6);
        auto bias = randomValues(rows, 7);
        std::vector<Half> halves(w.size());
        floatToHalf(w.data(), halves.data(), w.size());
        std::vector<double> expectedFull(rows), expectedHalf(rows);
        for (size_t r = 0; r < rows; ++r) {
            double full = bias[r], half = bias[r];
            for (size_t k = 0; k < cols; ++k) {
                full += static_cast<double>(w[r * cols + k]) * x[k];
                half += static_cast<double>(halves[r * cols + k].toFloat()) * x[k];
            }
            expectedFull[r] = full;
            expectedHalf[r] = half;
        }
        std::vector<float> y(rows);
        matvec(lease, w.data(), rows, cols, x.data(), bias.data(), y.data());
        expectNear(y, expectedFull, 1e-5 * std::sqrt(static_cast<double>(cols)), "float32");
        matvec(lease, halves.data(), rows, cols, x.data(), bias.data(), y.data());
        expectNear(y, expectedHalf, 1e-5 * std::sqrt(static_cast<double>(cols)), "float16");
    }
}

TEST_P(KernelsTest, ElementKernelsMatchTheirDefinitions) {
    for (size_t n : {1u, 7u, 8u, 9u, 100u, 1500u}) {
        SCOPED_TRACE(n);
        auto x = randomValues(n, 8, 4.0f);
        x[0] = -90.0f;  // below the float range of exp
        std::vector<double> expectedExp(n), expectedGelu(n), expectedSoftmax(n);
        double maxValue = *std::max_element(x.begin(), x.end()), sum = 0;
        for (size_t i = 0; i < n; ++i) {
            expectedExp[i] = std::exp(static_cast<double>(x[i]));
            expectedGelu[i] = geluReference(x[i]);
            expectedSoftmax[i] = std::exp(x[i] - maxValue);
            sum += expectedSoftmax[i];
        }
        for (auto& v : expectedSoftmax) v /= sum;
        auto e = x, g = x, s = x;
        expInPlace(e.data(), n);
        for (size_t i = 0; i < n; ++i)
            EXPECT_NEAR(e[i], expectedExp[i], 1e-6 * expectedExp[i] + 1e-37) << "exp(" << x[i] << ")";
        geluInPlace(g.data(), n);
        expectNear(g, expectedGelu, 1e-6, "gelu");
        softmaxInPlace(s.data(), n);
        expectNear(s, expectedSoftmax, 1e-6, "softmax");
    }
    std::vector<float> masked = {0.0f, -10000.0f, 1.0f, -10000.0f};
    softmaxInPlace(masked.data(), masked.size());
    EXPECT_EQ(masked[1] + masked[3] < 1e-30f, true);
    EXPECT_NEAR(masked[0] + masked[2], 1.0f, 1e-6f);
}

TEST_P(KernelsTest, LayerNormNormalisesEachRow) {
    auto lease = budget_.acquire();
    const size_t rows = 37;
    for (size_t width : {1u, 7u, 24u, 50u, 384u}) {
        SCOPED_TRACE(width);
        auto x = randomValues(rows * width, 9, 3.0f);
        for (auto& v : x) v += 5.0f;  // an offset the mean must remove
        auto gamma = randomValues(width, 10), beta = randomValues(width, 11);
        std::vector<double> expected(x.size());
        for (size_t r = 0; r < rows; ++r) {
            double mean = 0, var = 0;
            for (size_t i = 0; i < width; ++i) mean += x[r * width + i];
            mean /= width;
            for (size_t i = 0; i < width; ++i) var += (x[r * width + i] - mean) * (x[r * width + i] - mean);
            var /= width;
            for (size_t i = 0; i < width; ++i)
                expected[r * width + i] = (x[r * width + i] - mean) / std::sqrt(var + 1e-5) * gamma[i] + beta[i];
        }
        std::vector<float> y(x.size());
        layerNorm(lease, x.data(), rows, width, gamma.data(), beta.data(), y.data());
        expectNear(y, expected, 1e-5, "layerNorm");
    }
}

TEST_P(KernelsTest, BlockedAttentionMatchesTheFullScoreMatrix) {
    auto lease = budget_.acquire();
    struct Shape { size_t queries, keys, heads, dim; };
    for (Shape s : {Shape{1, 1, 1, 4}, Shape{5, 9, 2, 8}, Shape{130, 70, 3, 16}, Shape{200, 200, 2, 64}}) {
        SCOPED_TRACE(testing::Message() << s.queries << "q " << s.keys << "k " << s.heads << "h " << s.dim);
        const size_t d = s.heads * s.dim, ld = 3 * d;
        auto q = randomValues(s.queries * ld, 12), k = randomValues(s.keys * ld, 13), v = randomValues(s.keys * ld, 14);
        std::vector<double> expected(s.queries * d);
        for (size_t h = 0; h < s.heads; ++h)
            for (size_t i = 0; i < s.queries; ++i) {
                std::vector<double> p(s.keys);
                double maxValue = -1e300, sum = 0;
                for (size_t j = 0; j < s.keys; ++j) {
                    double dotValue = 0;
                    for (size_t c = 0; c < s.dim; ++c)
                        dotValue += static_cast<double>(q[i * ld + h * s.dim + c]) * k[j * ld + h * s.dim + c];
                    p[j] = dotValue / std::sqrt(static_cast<double>(s.dim));
                    maxValue = std::max(maxValue, p[j]);
                }
                for (auto& value : p) sum += (value = std::exp(value - maxValue));
                for (size_t c = 0; c < s.dim; ++c) {
                    double out = 0;
                    for (size_t j = 0; j < s.keys; ++j) out += p[j] / sum * v[j * ld + h * s.dim + c];
                    expected[i * d + h * s.dim + c] = out;
                }
            }
        std::vector<float> out(s.queries * d);
        attention(lease, q.data(), k.data(), v.data(), ld, s.queries, s.keys, s.heads, s.dim, out.data(), d);
        expectNear(out, expected, 1e-5, "attention");
    }
}

TEST_P(KernelsTest, ConvolutionWithKernelThreeAndPaddingOne) {
    auto lease = budget_.acquire();
    struct Shape { size_t time, in, out, stride; };
    for (Shape s : {Shape{1, 1, 1, 1}, Shape{10, 3, 4, 1}, Shape{11, 5, 6, 2}, Shape{300, 16, 24, 2}}) {
        SCOPED_TRACE(testing::Message() << s.time << "x" << s.in << "->" << s.out << " stride " << s.stride);
        auto input = randomValues(s.time * s.in, 15);
        auto weight = randomValues(s.out * s.in * 3, 16, 0.4f);  // [out, in, 3]
        auto bias = randomValues(s.out, 17);
        std::vector<float> kernelMajor(weight.size());
        for (size_t o = 0; o < s.out; ++o)
            for (size_t c = 0; c < s.in; ++c)
                for (size_t k = 0; k < 3; ++k) kernelMajor[(o * 3 + k) * s.in + c] = weight[(o * s.in + c) * 3 + k];
        const size_t timeOut = (s.time - 1) / s.stride + 1;
        std::vector<double> expected(timeOut * s.out);
        for (size_t t = 0; t < timeOut; ++t)
            for (size_t o = 0; o < s.out; ++o) {
                double sum = bias[o];
                for (size_t k = 0; k < 3; ++k) {
                    long source = static_cast<long>(t * s.stride + k) - 1;
                    if (source < 0 || source >= static_cast<long>(s.time)) continue;
                    for (size_t c = 0; c < s.in; ++c)
                        sum += static_cast<double>(weight[(o * s.in + c) * 3 + k]) * input[source * s.in + c];
                }
                expected[t * s.out + o] = geluReference(sum);
            }
        std::vector<float> columns(timeOut * 3 * s.in), out(timeOut * s.out);
        conv1dK3(lease, input.data(), s.time, s.in, kernelMajor.data(), bias.data(), s.out, s.stride, columns.data(),
                 out.data(), Epilogue::gelu);
        expectNear(out, expected, 1e-5, "conv");
    }
}

// Waits for a condition another thread brings about (no deadline: the test's own timeout is the
// limit, and a loaded machine may take its time).
template <typename Condition>
void waitUntil(Condition condition) {
    while (!condition()) std::this_thread::yield();
}

TEST(ThreadBudgetTest, LeasesNeverExceedTheBudgetAndEveryRangeRunsOnce) {
    ThreadBudget budget(3);
    auto first = budget.acquire(2);
    EXPECT_EQ(first.threads(), 2);
    auto second = budget.acquire(5);  // only one left
    EXPECT_EQ(second.threads(), 1);
    EXPECT_EQ(budget.available(), 0);

    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        auto third = budget.acquire(1);  // blocks until a lease is returned
        acquired = true;
    });
    waitUntil([&] { return budget.waiting() == 1; });
    EXPECT_FALSE(acquired.load());
    { auto released = std::move(second); }
    waiter.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_EQ(budget.waiting(), 0);

    std::vector<std::atomic<int>> hits(1001);
    std::atomic<int> concurrent{0}, peak{0};
    first.parallelFor(hits.size(), 7, [&](size_t begin, size_t end) {
        int now = ++concurrent;
        int seen = peak.load();
        while (now > seen && !peak.compare_exchange_weak(seen, now)) {}
        for (size_t i = begin; i < end; ++i) ++hits[i];
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        --concurrent;
    });
    for (size_t i = 0; i < hits.size(); ++i) ASSERT_EQ(hits[i].load(), 1) << i;
    EXPECT_LE(peak.load(), first.threads());

    // Many tiny loops: most posts to helpers are taken back unclaimed, which must leave the
    // workers ready for the next loop.
    std::vector<int> small(3);
    for (int round = 0; round < 20000; ++round) {
        first.parallelFor(small.size(), 1, [&](size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i) ++small[i];
        });
    }
    EXPECT_EQ(small, (std::vector<int>{20000, 20000, 20000}));
}

TEST(ThreadBudgetTest, ConcurrentLeasesTogetherNeverRunMoreThreadsThanTheBudget) {
    // Six predictions at once, each asking for the whole budget: at no moment do more bodies run
    // than the budget has threads.
    ThreadBudget budget(4);
    std::atomic<int> running{0}, peak{0};
    std::vector<std::thread> predictions;
    for (int p = 0; p < 6; ++p)
        predictions.emplace_back([&] {
            for (int round = 0; round < 10; ++round) {
                auto lease = budget.acquire();
                lease.parallelFor(32, 1, [&](size_t, size_t) {
                    int now = ++running;
                    int seen = peak.load();
                    while (now > seen && !peak.compare_exchange_weak(seen, now)) {}
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                    --running;
                });
            }
        });
    for (auto& thread : predictions) thread.join();
    EXPECT_LE(peak.load(), budget.capacity());
    EXPECT_EQ(budget.available(), budget.capacity());
}

// A decoder step that arrives while a window's work holds every thread.
class YieldingLeaseTest : public ::testing::Test {
protected:
    // The budget outlives the test body, so that a step still waiting after a failed assertion
    // can finish.
    ThreadBudget& makeBudget(int threads, std::chrono::milliseconds stepGrace) {
        budget_ = std::make_unique<ThreadBudget>(threads, stepGrace);
        return *budget_;
    }
    // Starts a thread that takes a holding lease of `wanted` threads (blocking as acquire does),
    // reports its size, then holds it until release() is called.
    void startStep(ThreadBudget& budget, int wanted) {
        step_ = std::thread([this, &budget, wanted] {
            auto lease = budget.acquire(wanted);
            granted_.set_value(lease.threads());
            released_.get_future().wait();
        });
    }
    int granted() { return granted_.get_future().get(); }
    void release() {
        released_.set_value();
        step_.join();
    }
    // A failed assertion leaves the step holding or waiting: the window's lease is gone by now,
    // so the step gets its threads and can be released.
    void TearDown() override {
        if (step_.joinable()) release();
    }

    std::unique_ptr<ThreadBudget> budget_;
    std::thread step_;
    std::promise<int> granted_;
    std::promise<void> released_;
};

TEST_F(YieldingLeaseTest, AWindowGivesAWaitingStepItsShareAtTheNextRebalance) {
    ThreadBudget& budget = makeBudget(4, std::chrono::hours(1));  // steps count as recent throughout
    auto window = budget.acquire(0, ThreadBudget::Share::yields);
    EXPECT_EQ(window.threads(), 4);
    window.rebalance();  // nobody waits, no step has run: nothing changes
    EXPECT_EQ(window.threads(), 4);

    startStep(budget, 2);
    waitUntil([&] { return budget.waiting() == 1; });
    window.rebalance();
    ASSERT_EQ(window.threads(), 2);
    EXPECT_EQ(granted(), 2);

    // The window keeps working on what it has left, never beside more threads than the budget.
    std::vector<std::atomic<int>> hits(200);
    window.parallelFor(hits.size(), 3, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) ++hits[i];
    });
    for (size_t i = 0; i < hits.size(); ++i) ASSERT_EQ(hits[i].load(), 1) << i;
    EXPECT_EQ(budget.available(), 0);

    // Within the step grace the window leaves half the budget to the next step.
    release();
    window.rebalance();
    EXPECT_EQ(window.threads(), 2);
    ASSERT_EQ(budget.available(), 2);
    // So does a window that starts then.
    { auto done = std::move(window); }
    auto next = budget.acquire(0, ThreadBudget::Share::yields);
    ASSERT_EQ(next.threads(), 2);
    // A holding lease of another loop, while the first loop's last step is within the grace:
    // the threads the window leaves, split over the two loops. It never changes at rebalance.
    auto step = budget.acquire(2);
    ASSERT_EQ(step.threads(), 1);
    step.rebalance();
    EXPECT_EQ(step.threads(), 1);
}

TEST_F(YieldingLeaseTest, AWindowTakesItsThreadsBackOnceStepsAreOver) {
    ThreadBudget& budget = makeBudget(4, std::chrono::milliseconds(0));
    auto window = budget.acquire(3, ThreadBudget::Share::yields);
    startStep(budget, 4);  // gets the one thread left without waiting
    EXPECT_EQ(granted(), 1);
    window.rebalance();  // a step runs: half the budget is left to steps
    EXPECT_EQ(window.threads(), 2);
    release();
    window.rebalance();  // steps over (no grace): back to what it asked for, not more
    EXPECT_EQ(window.threads(), 3);
    ASSERT_EQ(budget.available(), 1);  // else the next acquire would wait for ever

    // Two windows and a waiting step share the budget evenly, each window at its next rebalance.
    auto second = budget.acquire(0, ThreadBudget::Share::yields);
    EXPECT_EQ(second.threads(), 1);
    granted_ = {};
    released_ = {};
    startStep(budget, 4);
    waitUntil([&] { return budget.waiting() == 1; });
    window.rebalance();  // 4 threads over 2 leases and 1 waiter: one each, the rest to the step
    ASSERT_EQ(window.threads(), 1);
    EXPECT_EQ(granted(), 2);
    EXPECT_EQ(budget.available(), 0);
    release();
    second.rebalance();  // the freed threads go to whichever window looks first
    window.rebalance();
    EXPECT_EQ(second.threads(), 3);
    EXPECT_EQ(window.threads(), 1);
}

// Decoding loops, each on its own thread taking one holding lease per step, as concurrent
// transcriptions run them. Destroying the group stops every loop (releasing what they hold)
// before joining any, so that a loop still waiting in acquire gets threads and ends.
class StepLoops {
public:
    StepLoops(ThreadBudget& budget, int count) : budget_(budget) {
        for (int i = 0; i < count; ++i) loops_.push_back(std::make_unique<Loop>());
        for (auto& loop : loops_) loop->thread = std::thread([this, raw = loop.get()] { run(*raw); });
    }
    ~StepLoops() {
        for (auto& loop : loops_) {
            std::lock_guard<std::mutex> lock(loop->mutex);
            loop->stopping = true;
            loop->changed.notify_all();
        }
        for (auto& loop : loops_) loop->thread.join();
    }

    // Loop `i` starts a step asking for `wanted` threads. Returns the threads its lease got, or 0
    // when it waits in acquire instead (it then gets them once threads are freed: see threads).
    int step(size_t i, int wanted = 0) {
        Loop& loop = *loops_[i];
        const int waitingBefore = budget_.waiting();
        {
            std::lock_guard<std::mutex> lock(loop.mutex);
            loop.wanted = wanted;
            ++loop.requested;
            loop.changed.notify_all();
        }
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(loop.mutex);
                if (loop.granted > 0) return loop.granted;
            }
            if (budget_.waiting() > waitingBefore) return 0;
            std::this_thread::yield();
        }
    }
    // The threads of loop `i`'s lease, waiting until it has one.
    int threads(size_t i) {
        Loop& loop = *loops_[i];
        std::unique_lock<std::mutex> lock(loop.mutex);
        loop.changed.wait(lock, [&] { return loop.granted > 0; });
        return loop.granted;
    }
    // Loop `i` ends its step: returns once its lease is released.
    void endStep(size_t i) {
        Loop& loop = *loops_[i];
        std::unique_lock<std::mutex> lock(loop.mutex);
        loop.release = true;
        loop.changed.notify_all();
        loop.changed.wait(lock, [&] { return loop.granted == 0; });
    }

private:
    struct Loop {
        std::mutex mutex;
        std::condition_variable changed;
        int wanted = 0, requested = 0, served = 0, granted = 0;
        bool release = false, stopping = false;
        std::thread thread;
    };

    void run(Loop& loop) {
        for (;;) {
            int wanted = 0;
            {
                std::unique_lock<std::mutex> lock(loop.mutex);
                loop.changed.wait(lock, [&] { return loop.stopping || loop.requested > loop.served; });
                if (loop.stopping) return;
                ++loop.served;
                wanted = loop.wanted;
            }
            auto lease = budget_.acquire(wanted);
            std::unique_lock<std::mutex> lock(loop.mutex);
            loop.granted = lease.threads();
            loop.changed.notify_all();
            loop.changed.wait(lock, [&] { return loop.stopping || loop.release; });
            loop.release = false;
            lock.unlock();
            { auto released = std::move(lease); }
            lock.lock();
            loop.granted = 0;
            loop.changed.notify_all();
        }
    }

    ThreadBudget& budget_;
    std::vector<std::unique_ptr<Loop>> loops_;
};

TEST(StepLoopShareTest, ConcurrentStepLoopsShareTheBudgetEvenlyInsteadOfWaitingForEachOther) {
    ThreadBudget budget(4, std::chrono::hours(1));  // a loop between steps counts as running
    StepLoops loops(budget, 3);
    EXPECT_EQ(loops.step(0), 4);  // alone: all it asks for
    loops.endStep(0);
    // A second loop: each gets half at once, step after step, whichever steps first.
    EXPECT_EQ(loops.step(1), 2);
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(loops.step(0), 2) << round;
        EXPECT_EQ(budget.available(), 0);
        loops.endStep(1);
        ASSERT_EQ(loops.step(1), 2) << round;
        loops.endStep(0);
    }
    ASSERT_EQ(loops.step(0), 2);
    // A third loop while the two hold everything waits (the shares never add up to more than the
    // budget), and gets its share from the first lease released; from then on a third each.
    EXPECT_EQ(loops.step(2), 0);
    EXPECT_EQ(budget.waiting(), 1);
    loops.endStep(1);
    EXPECT_EQ(loops.threads(2), 1);
    EXPECT_EQ(loops.step(1), 1);
    loops.endStep(0);
    EXPECT_EQ(loops.step(0), 1);
    EXPECT_EQ(budget.available(), 1);
    for (size_t loop = 0; loop < 3; ++loop) loops.endStep(loop);
    EXPECT_EQ(budget.available(), 4);  // every release handed its threads back
    EXPECT_EQ(budget.waiting(), 0);
}

TEST(StepLoopShareTest, StepLoopsBesideAWindowShareWhatTheWindowLeaves) {
    ThreadBudget budget(4, std::chrono::hours(1));
    StepLoops loops(budget, 2);
    auto window = budget.acquire(0, ThreadBudget::Share::yields);
    ASSERT_EQ(window.threads(), 4);
    EXPECT_EQ(loops.step(0), 0);  // the window has everything until its next rebalance
    window.rebalance();
    EXPECT_EQ(window.threads(), 2);
    EXPECT_EQ(loops.threads(0), 2);
    loops.endStep(0);
    // With two loops about, the two threads the window leaves go one to each, and neither waits
    // for the other's step to end.
    EXPECT_EQ(loops.step(1), 1);
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(loops.step(0), 1) << round;
        window.rebalance();  // steps run: the window keeps its half, takes nothing
        EXPECT_EQ(window.threads(), 2);
        loops.endStep(1);
        ASSERT_EQ(loops.step(1), 1) << round;
        loops.endStep(0);
    }
    loops.endStep(1);
    { auto done = std::move(window); }
    EXPECT_EQ(budget.available(), 4);
}

}  // namespace
