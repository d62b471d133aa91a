// What a voice agent is given (AgentRequest) and the interface every agent back end implements
// (AgentStrategy). The answer side (AgentResult, AgentError, parseAgentResult) is in AgentResult.hpp.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "TalkweftCore/AgentResult.hpp"
#include "TalkweftCore/Context.hpp"
#include "TalkweftCore/HistoryEntry.hpp"

namespace talkweft {

// One agent request. Fields in order (memberwise: aggregate initialisation; historyDir may be left
// absent).
struct AgentRequest {
    std::string instruction;                         // the transcript of what the user said
    AppContext context;                              // the captured context of the focused field
    std::vector<HistoryEntry> history;               // recent entries of this context, oldest first
    std::optional<std::filesystem::path> historyDir; // the context's history repository; absent when none is kept
    std::filesystem::path workDir;                   // the folder the agent runs in
    std::string standing;                            // the user's standing instructions (may be empty)
};

// An agent back end.
class AgentStrategy {
public:
    virtual ~AgentStrategy() = default;

    // A human-readable name of the back end.
    virtual std::string name() const = 0;

    // Runs one request and returns the answer; blocks for as long as the back end's own time-out
    // allows. Throws AgentError on failure, or CancellationError (Task.hpp) soon after the calling
    // task is cancelled.
    virtual AgentResult run(const AgentRequest& request) = 0;
};

}  // namespace talkweft
