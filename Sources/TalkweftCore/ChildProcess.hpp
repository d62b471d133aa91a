// Running one child process to its end: spawn with pipes, drain both outputs while feeding
// standard input, honour a deadline and termination requests, and never leave a zombie.
//
// The child runs in a process group of its own, so that terminating it reaches the helpers it
// started too: a termination request sends SIGTERM to the group, and after a grace period SIGKILL.
// When the child exits but something else keeps its output pipes open, reading stops after the
// grace period and the rest of its group is killed. An ignored SIGCHLD is set back to its default
// at every start (children must stay to be waited for). Our process ignores SIGPIPE from the first
// spawn on (a child that stops reading its input must not kill us); children start with default
// signal dispositions and an empty signal mask.
//
// A run started with `endDescendants` also ends what it leaves behind: its child gets a marker
// variable unique to the run, and when the run ends in a child subreaper (becomeChildSubreaper,
// ProcessTree.hpp: only there is a helper whose parent has exited still below us), every process
// below ours that carries the marker, and everything below those, is stopped, killed and reaped,
// whatever process group or session it moved to. A process without the run's marker, or not below
// us, is never touched. A subreaper also reaps, at the end of every run, the exited children that
// no ChildProcess waits for (orphans handed to it), so it must start its own children here.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace talkweft {

// What to start. `env` is the child's whole environment.
struct ChildOptions {
    std::string path;                       // executable, used as given (no search)
    std::vector<std::string> args;          // without the program name
    std::map<std::string, std::string> env;
    std::optional<std::string> cwd;         // absent: inherit ours
    bool stdinPipe = true;                  // false: standard input is the null device
    std::optional<std::string> stdinText;   // written to the pipe, which is then closed
    bool endDescendants = false;            // end everything the run leaves behind (see above)
};

// The variable that marks a run's processes ("<our pid>.<run number>").
inline constexpr const char* RUN_MARKER_VARIABLE = "TALKWEFT_RUN";

// The most bytes kept of each output stream; a child that writes more is read to its end, but the
// rest is dropped (an endless writer must not exhaust our memory).
inline constexpr std::size_t MAX_CHILD_OUTPUT_BYTES = 64u << 20;

// How a run ended. `status` is the exit code, or the signal number when a signal ended the child
// (-1 when someone else reaped it and the status is unknown).
// `out` and `err` are the raw bytes the child wrote (at most MAX_CHILD_OUTPUT_BYTES each).
struct ChildOutcome {
    std::int32_t status = 0;
    std::string out;
    std::string err;
    bool timedOut = false;    // the deadline passed and the child was terminated
    bool terminated = false;  // terminate() was called before the child had ended
};

class ChildProcess {
public:
    // Starts the child. Throws std::system_error with the launch errno (missing file, not
    // executable, bad working folder) when it cannot start; nothing is left running then.
    static std::shared_ptr<ChildProcess> start(const ChildOptions& opts);

    // A child not yet collected is killed with its whole process group (and, with
    // `endDescendants`, everything it left behind) and reaped.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Asks the child (and its group) to end: SIGTERM at once, SIGKILL after the grace period.
    // Thread-safe, may be called any number of times, before, during or after collect().
    void terminate();

    // Feeds standard input, reads both outputs to their end and waits for the child, on the calling
    // thread. `timeoutSeconds` (absent: none) counts from this call; zero or less terminates at
    // once. `graceSeconds` is how long a terminated child, or pipes left open after the child's
    // exit, are waited for before SIGKILL. Call once. The child is reaped before it returns, and
    // with `endDescendants` so is everything it left behind.
    ChildOutcome collect(std::optional<double> timeoutSeconds, double graceSeconds);

private:
    ChildProcess() = default;
    void closeFds();
    pid_t reap(int* status);  // waits for the child, then ends and reaps what it left

    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    int stderrFd_ = -1;
    int pidFd_ = -1;   // readable when the child exits; -1 when the kernel lacks pidfd
    int wakeFd_ = -1;  // eventfd written by terminate(); -1 when none could be made (then polled)
    std::string stdinText_;
    std::string marker_;  // "TALKWEFT_RUN=<value>" with endDescendants, else empty
    std::atomic<bool> terminateRequested_{false};
    bool reaped_ = false;
};

// Default grace period between SIGTERM and SIGKILL.
inline constexpr double TERMINATE_GRACE_SECONDS = 2.0;

// The environment of this process as a map.
std::map<std::string, std::string> currentEnvironment();

}  // namespace talkweft
