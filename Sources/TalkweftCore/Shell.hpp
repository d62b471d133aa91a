// The environment of every child process, and a small synchronous runner for short-lived tools
// (the history store runs git through it).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace talkweft {

// The user's and the system's tool folders, joined with ":": ~/.local/bin, /opt/homebrew/bin,
// /usr/local/bin, /usr/bin, /bin, /usr/sbin, /sbin. The home folder is $HOME, else the password
// database. Computed once, thread-safely, on first use; fixed afterwards.
const std::string& SHELL_PATH();

// The outcome of one child process. `status` is the exit code, or the signal number when a signal
// ended the child. Both outputs are UTF-8, invalid sequences replaced by U+FFFD.
struct ShellResult {
    std::int32_t status = 0;
    std::string out;
    std::string err;
};

// A copy of this process's environment in which PATH is SHELL_PATH() + ":" + the old PATH (empty
// when unset, so the value then ends in ":"). Thread-safe as long as nobody changes the environment
// at the same time.
std::map<std::string, std::string> calcShellEnv();

// The longest a runShell child may take unless the caller says otherwise.
inline constexpr double SHELL_TIMEOUT_SECONDS = 120.0;

// runShell gave up on a child that outran its time limit. The child and its process group were
// terminated (SIGTERM, then SIGKILL after a grace period); its output is dropped.
class ShellTimeoutError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Runs `path` with `args` in the environment of calcShellEnv(), in `cwd` when given, with standard
// input a pipe that receives `stdinText` (when given) and is then closed. Reads both outputs to
// their end concurrently and waits for the child. A non-zero status is not a failure: look at
// `status`. Throws std::system_error when the program cannot be started (missing, not executable,
// bad working folder), ShellTimeoutError ("<path> timed out after N seconds") when it runs longer
// than `timeoutSeconds`. The variables named in `unsetVariables` are left out of the child's
// environment. Blocks the calling thread; thread-safe, no shared state.
ShellResult runShell(const std::string& path, const std::vector<std::string>& args,
                     const std::optional<std::string>& cwd = std::nullopt,
                     const std::optional<std::string>& stdinText = std::nullopt,
                     double timeoutSeconds = SHELL_TIMEOUT_SECONDS,
                     const std::vector<std::string>& unsetVariables = {});

// Seconds as people write them, whatever the locale: "180", "0.5".
std::string formatSeconds(double seconds);

}  // namespace talkweft
