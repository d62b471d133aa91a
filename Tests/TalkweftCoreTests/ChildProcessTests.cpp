#include "TalkweftCore/ChildProcess.hpp"

#include <chrono>
#include <csignal>
#include <thread>

#include <gtest/gtest.h>

#include "ProcessTestSupport.hpp"

namespace talkweft {
namespace {

using namespace std::chrono_literals;
using testing::processRunning;
using testing::TempDir;
using testing::waitForFile;
using testing::writeScript;

constexpr double GRACE = 0.3;

ChildOptions scriptOptions(const std::string& path, bool stdinPipe = false) {
    ChildOptions opts;
    opts.path = path;
    opts.env = currentEnvironment();
    opts.stdinPipe = stdinPipe;
    return opts;
}

struct Stubborn {
    const char* name;
    const char* body;         // writes the pid that must not survive to $PIDFILE
    std::optional<double> timeout;
    bool terminate;           // call terminate() while it runs
};

// Whatever the child does to resist (ignore SIGTERM, leave a helper holding the output pipe), the
// run ends shortly after the grace period and nothing of its process group survives.
TEST(ChildProcess, StubbornChildrenEndWithinTheGracePeriod) {
    const Stubborn cases[] = {
        {"ignores SIGTERM, timeout", "trap '' TERM\necho $$ > \"$PIDFILE\"\nwhile :; do sleep 0.05; done\n", 0.2, false},
        {"ignores SIGTERM, cancelled", "trap '' TERM\necho $$ > \"$PIDFILE\"\nwhile :; do sleep 0.05; done\n", std::nullopt, true},
        {"grandchild holds pipe, timeout", "(trap '' TERM; exec sleep 30) &\necho $! > \"$PIDFILE\"\nwait\n", 0.2, false},
        {"grandchild holds pipe, cancelled", "(trap '' TERM; exec sleep 30) &\necho $! > \"$PIDFILE\"\nwait\n", std::nullopt, true},
        {"exits, grandchild keeps pipe", "sleep 30 &\necho $! > \"$PIDFILE\"\necho done\nexit 0\n", std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        auto pidFile = dir.path() / "pid";
        auto opts = scriptOptions(writeScript(dir.path() / "child.sh", c.body));
        opts.env["PIDFILE"] = pidFile.string();
        auto child = ChildProcess::start(opts);
        std::thread canceller;
        if (c.terminate)
            canceller = std::thread([&] {
                waitForFile(pidFile);
                child->terminate();
            });
        auto begin = std::chrono::steady_clock::now();
        ChildOutcome outcome = child->collect(c.timeout, GRACE);
        auto took = std::chrono::steady_clock::now() - begin;
        if (canceller.joinable()) canceller.join();

        EXPECT_LT(took, 5s);  // the scripts would otherwise run for 30 s or forever
        EXPECT_EQ(outcome.timedOut, c.timeout.has_value());
        auto pid = waitForFile(pidFile, 100ms);
        ASSERT_TRUE(pid);
        long survivor = std::stol(*pid);
        for (int i = 0; i < 100 && processRunning(survivor); ++i) std::this_thread::sleep_for(10ms);
        EXPECT_FALSE(processRunning(survivor));
        EXPECT_FALSE(processRunning(child->pid()));
    }
}

TEST(ChildProcess, LeftoverOutputIsKeptWhenAHelperHoldsThePipe) {
    TempDir dir;
    auto opts = scriptOptions(writeScript(dir.path() / "c.sh", "sleep 30 &\nprintf 'done'\nprintf 'oops' >&2\n"));
    auto outcome = ChildProcess::start(opts)->collect(std::nullopt, GRACE);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "done");
    EXPECT_EQ(outcome.err, "oops");
    EXPECT_FALSE(outcome.timedOut);
}

TEST(ChildProcess, TerminateBeforeCollectEndsTheRunAtOnce) {
    TempDir dir;
    auto child = ChildProcess::start(scriptOptions(writeScript(dir.path() / "c.sh", "exec sleep 30\n")));
    child->terminate();
    auto outcome = child->collect(std::nullopt, GRACE);
    EXPECT_TRUE(outcome.terminated);
    EXPECT_EQ(outcome.status, 15);  // SIGTERM
}

TEST(ChildProcess, NullStdinReadsEndOfFileAndSIGPIPEIsHarmless) {
    TempDir dir;
    auto outcome = ChildProcess::start(scriptOptions("/bin/cat"))->collect(5.0, GRACE);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "");

    // A child that exits without reading a large input: our write fails with EPIPE, not a signal.
    auto opts = scriptOptions(writeScript(dir.path() / "quit.sh", "exit 3\n"), true);
    opts.stdinText = std::string(1 << 20, 'x');
    outcome = ChildProcess::start(opts)->collect(5.0, GRACE);
    EXPECT_EQ(outcome.status, 3);
}

// A child that writes without end: what is kept stays bounded, and the time limit still ends it.
TEST(ChildProcess, OutputIsBoundedAndAnEndlessWriterStillTimesOut) {
    ChildOptions opts = scriptOptions("/bin/sh");
    opts.args = {"-c", "head -c " + std::to_string(MAX_CHILD_OUTPUT_BYTES + 12345) + " /dev/zero; echo tail >&2"};
    auto outcome = ChildProcess::start(opts)->collect(60.0, GRACE);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out.size(), MAX_CHILD_OUTPUT_BYTES);
    EXPECT_EQ(outcome.err, "tail\n");

    opts.args = {"-c", "exec yes"};
    auto begin = std::chrono::steady_clock::now();
    outcome = ChildProcess::start(opts)->collect(0.5, GRACE);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    EXPECT_TRUE(outcome.timedOut);
    EXPECT_LE(outcome.out.size(), MAX_CHILD_OUTPUT_BYTES);
}

// A parent may start us with SIGCHLD ignored; the kernel would then reap children itself and
// their exit status would be lost (a failure read as success).
TEST(ChildProcess, AnInheritedIgnoredSIGCHLDKeepsTheExitStatus) {
    auto previous = std::signal(SIGCHLD, SIG_IGN);
    ChildOptions opts = scriptOptions("/bin/sh");
    opts.args = {"-c", "exit 3"};
    auto outcome = ChildProcess::start(opts)->collect(5.0, GRACE);
    std::signal(SIGCHLD, previous);
    EXPECT_EQ(outcome.status, 3);
}

TEST(ChildProcess, ChildrenStartWithDefaultSignalHandling) {
    // `yes | head` only ends because `yes` dies of SIGPIPE, which we ignore ourselves.
    ChildOptions opts = scriptOptions("/bin/sh");
    opts.args = {"-c", "yes | head -n 2"};
    auto outcome = ChildProcess::start(opts)->collect(5.0, GRACE);
    EXPECT_EQ(outcome.out, "y\ny\n");
    EXPECT_FALSE(outcome.timedOut);
}

}  // namespace
}  // namespace talkweft
