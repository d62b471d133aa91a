#include "TalkweftCore/ChildProcess.hpp"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "ProcessTestSupport.hpp"

namespace talkweft {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::processRunning;
using testing::ProcessWatch;
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

// Writes the pid named in $1 to $PIDFILE whole (aside first, then renamed).
const std::string WRITE_PID = "echo \"$1\" > \"$PIDFILE.tmp\" && mv \"$PIDFILE.tmp\" \"$PIDFILE\"";

std::string withPidWriter(const std::string& body) { return "writePid() { " + WRITE_PID + "; }\n" + body; }

struct Stubborn {
    const char* name;
    const char* body;         // writes the pid that must not survive to $PIDFILE once it resists
    std::optional<double> timeout;
    bool terminate;           // call terminate() while it runs
};

// Whatever the child does to resist (ignore SIGTERM, leave a helper holding the output pipe), the
// run ends shortly after the grace period and nothing of its process group survives. The time
// limit and the termination request come only once the pid file shows the resistance in place.
TEST(ChildProcess, StubbornChildrenEndWithinTheGracePeriod) {
    const char* ignoresTerm = "trap '' TERM\nwritePid $$\nexec sleep 600\n";
    const char* grandchild =
        "sh -c 'trap \"\" TERM; echo $$ > \"$PIDFILE.tmp\" && mv \"$PIDFILE.tmp\" \"$PIDFILE\"; exec sleep 600' &\nwait\n";
    const Stubborn cases[] = {
        {"ignores SIGTERM, timeout", ignoresTerm, 0.2, false},
        {"ignores SIGTERM, cancelled", ignoresTerm, std::nullopt, true},
        {"grandchild holds pipe, timeout", grandchild, 0.2, false},
        {"grandchild holds pipe, cancelled", grandchild, std::nullopt, true},
        {"exits, grandchild keeps pipe", "sleep 600 &\nwritePid $!\necho done\nexit 0\n", std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        auto pidFile = dir.path() / "pid";
        auto opts = scriptOptions(writeScript(dir.path() / "child.sh", withPidWriter(c.body)));
        opts.env["PIDFILE"] = pidFile.string();
        auto child = ChildProcess::start(opts);
        auto pid = waitForFile(pidFile);
        ASSERT_TRUE(pid);
        ProcessWatch survivor(std::stol(*pid));
        ASSERT_TRUE(survivor.running());
        std::thread canceller;
        if (c.terminate) canceller = std::thread([&] { child->terminate(); });
        auto begin = std::chrono::steady_clock::now();
        ChildOutcome outcome = child->collect(c.timeout, GRACE);
        auto took = std::chrono::steady_clock::now() - begin;
        if (canceller.joinable()) canceller.join();

        EXPECT_LT(took, 60s);  // the scripts would otherwise run for ten minutes or forever
        EXPECT_EQ(outcome.timedOut, c.timeout.has_value());
        EXPECT_EQ(outcome.terminated, c.terminate);
        EXPECT_TRUE(survivor.waitForExit());
        EXPECT_FALSE(processRunning(child->pid()));
    }
}

// A child that is never collected goes with its whole process group when the object goes.
TEST(ChildProcess, DestroyingAnUncollectedChildKillsItsGroup) {
    TempDir dir;
    auto pidFile = dir.path() / "pid";
    auto opts = scriptOptions(writeScript(dir.path() / "child.sh", withPidWriter("sleep 600 &\nwritePid $!\nwait\n")));
    opts.env["PIDFILE"] = pidFile.string();
    auto child = ChildProcess::start(opts);
    auto pid = waitForFile(pidFile);
    ASSERT_TRUE(pid);
    ProcessWatch helper(std::stol(*pid)), parent(child->pid());
    child.reset();
    EXPECT_TRUE(parent.waitForExit(0ms)) << "reaped before the destructor returns";
    EXPECT_TRUE(helper.waitForExit());
}

// As a subreaper we inherit the orphans of every run. Only a run started to end its descendants
// ends them, and only its own; an orphan that exits by itself is reaped at the end of the next run
// instead of staying a zombie.
TEST(ChildProcess, ASubreaperEndsOnlyTheRunsOwnOrphansAndReapsTheRest) {
    testing::ScopedSubreaper subreaper;
    TempDir dir;
    const std::string go = (dir.path() / "go").string();
    ASSERT_EQ(::mkfifo(go.c_str(), 0600), 0);
    // The run leaves a helper in a session of its own that waits for a line on `go`, and ends once
    // the helper has told it its pid (so the helper is past its start).
    const std::string script = writeScript(dir.path() / "orphan.sh",
                                           "setsid sh -c 'echo $$ > \"$0\"; read x < \"$1\"' \"$1\" \"$2\" < /dev/null > /dev/null 2>&1 &\n"
                                           "read -r pid < \"$1\"\necho \"$pid\"\n");
    int runs = 0;
    auto startOrphan = [&](bool endDescendants) {
        const std::string ready = (dir.path() / ("ready" + std::to_string(++runs))).string();
        ::mkfifo(ready.c_str(), 0600);
        ChildOptions opts = scriptOptions(script);
        opts.args = {ready, go};
        opts.endDescendants = endDescendants;
        auto outcome = ChildProcess::start(opts)->collect(60.0, GRACE);
        return std::stol(outcome.out);
    };
    const long kept = startOrphan(false);
    ProcessWatch keptWatch(kept);
    const long ended = startOrphan(true);
    EXPECT_FALSE(ProcessWatch(ended).running()) << "ended and reaped with its run";
    ASSERT_TRUE(keptWatch.running()) << "not the run's to end";

    std::ofstream(go) << "go\n";  // the kept orphan reads it and exits: a zombie of ours
    ASSERT_TRUE(keptWatch.waitForExit());
    ASSERT_TRUE(fs::exists("/proc/" + std::to_string(kept)));
    ChildProcess::start(scriptOptions("/bin/true"))->collect(60.0, GRACE);
    EXPECT_FALSE(fs::exists("/proc/" + std::to_string(kept))) << "reaped";
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
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 60s);  // it would write forever otherwise
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
