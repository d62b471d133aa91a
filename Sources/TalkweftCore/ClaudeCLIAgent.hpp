// The agent back end that runs the Claude Code command-line tool headless, one child process per
// request: arguments (prompts, result schema, tool permissions, connectors, extra folders, extra
// arguments), extra environment, a time limit, cancellation through the calling task, and the
// reading of the tool's JSON envelope.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TalkweftCore/Agent.hpp"
#include "TalkweftCore/AgentResult.hpp"
#include "TalkweftCore/ChildProcess.hpp"
#include "TalkweftCore/Settings.hpp"
#include "TalkweftCore/Shell.hpp"

namespace talkweft {

// Shared by the run, its cancellation handler and the timeout: holds the started process and
// whether the run was cancelled or timed out (never cleared). Thread-safe.
class ProcessBox {
public:
    // Stores the started process; terminates it at once when the run is already cancelled.
    void set(std::shared_ptr<ChildProcess> proc);
    // Marks the run cancelled and asks the process (if started) to terminate.
    void cancel();
    // Like cancel(), and remembers that the time limit caused it.
    void timeOut();

    bool isCancelled() const;
    bool hasTimedOut() const;

private:
    mutable std::mutex lock;
    std::shared_ptr<ChildProcess> proc;  // guarded by lock
    bool cancelled = false;              // guarded by lock
    bool timedOut = false;               // guarded by lock
};

// The longest user message passed as one argument (Linux takes at most 128 KiB per argument,
// terminating NUL included); a longer one goes to the tool's standard input.
inline constexpr std::size_t MAX_PROMPT_ARGUMENT_BYTES = 128 * 1024 - 1;

// True when the user message cannot travel as one argument whole: longer than
// MAX_PROMPT_ARGUMENT_BYTES, or holding a NUL byte (which would end the argument early).
bool promptNeedsStandardInput(std::string_view userMessage);

// The tool's arguments (without the program name), in this order: "-p" and the user message
// (left out when promptNeedsStandardInput: it is sent on standard input), the output
// format, no session persistence, the permission mode, the system prompt, the result schema,
// "--tools", "--allowedTools" (when not empty), "--strict-mcp-config" (connectors off), "--model"
// (when set), "--add-dir" for the history folder and the screenshot's folder (each once, not the
// working folder), then cfg.extraArgs split at blanks.
std::vector<std::string> buildClaudeArgs(const ClaudeCLIConfig& cfg, const AgentRequest& req);
// The same with the user message already built (buildUserPrompt(req)).
std::vector<std::string> buildClaudeArgs(const ClaudeCLIConfig& cfg, const AgentRequest& req,
                                         const std::string& userMessage);

// {"ENABLE_TOOL_SEARCH": "true"} when connectors are on, else empty.
std::map<std::string, std::string> buildClaudeEnv(const ClaudeCLIConfig& cfg);

// Reads the tool's JSON envelope. Throws AgentError::badOutput (first 300 characters) when the text
// is not a JSON object (or nests deeper than 512 levels); AgentError::failed with "result", "subtype" or "unknown error" when
// "is_error" is true; otherwise parseAgentResult of "structured_output" (an object or array) or of
// the "result" string (empty when missing).
AgentResult parseClaudeOutput(std::string_view out);

// Runs the executable with `args` in calcShellEnv() plus `env` (which wins), in `cwd`, standard
// input the null device (or a pipe carrying `stdinText` when given), both outputs drained. The
// process is registered in `box`; cancelling the box, or `timeout` seconds passing (zero or less:
// at once; the box then records the timeout), sends SIGTERM to its process group and SIGKILL after
// `graceSeconds`. Returns when the process has ended; when this process is a child subreaper, also
// everything the run left running (helpers in its process group, and helpers that left it with
// setsid), and nothing the run did not start (ChildOptions::endDescendants: the tool's environment
// carries the run's RUN_MARKER_VARIABLE). Throws std::system_error when it cannot be started.
// Blocks the calling thread.
ShellResult runProcess(const std::string& path, const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& env, const std::string& cwd,
                       const std::shared_ptr<ProcessBox>& box, double timeout,
                       const std::optional<std::string>& stdinText = std::nullopt,
                       double graceSeconds = TERMINATE_GRACE_SECONDS);

class ClaudeCLIAgent : public AgentStrategy {
public:
    explicit ClaudeCLIAgent(ClaudeCLIConfig cfg) : cfg(std::move(cfg)) {}

    ClaudeCLIConfig cfg;

    // "Claude Code".
    std::string name() const override;

    // Runs the tool for one request and reads its answer. Blocks the calling thread (run it on a
    // task); cancelling the current task (Task.hpp) terminates the tool. Throws
    // AgentError::launch("no executable at <path>") when cfg.path ("~" expanded) is no executable
    // file; std::system_error when the process cannot start; CancellationError when the task was
    // cancelled; AgentError::failed("timed out after N seconds") when cfg.timeout passed;
    // AgentError::failed with the tail of standard error (or "exit N") when the tool printed
    // nothing; otherwise whatever parseClaudeOutput gives. The run ends only once the tool's
    // process group is gone. Thread-safe: runs share nothing.
    AgentResult run(const AgentRequest& request) override;
};

// The agent back end chosen in the settings: a ClaudeCLIAgent with a copy of settings.claude.
std::unique_ptr<AgentStrategy> buildAgent(const Settings& settings);

// `path` with a leading "~" or "~user" replaced by that home folder.
std::string expandTilde(const std::string& path);

}  // namespace talkweft
