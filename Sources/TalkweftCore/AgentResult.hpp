// What an agent gives back: the action, find/replace edits, the result record, the agent failures,
// and the tolerant parser of an agent's text answer. Plain values; all functions are thread-safe.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "TalkweftCore/JSONCoding.hpp"

namespace talkweft {

// How the answer is applied: text typed at the caret, edits of existing text, or a message shown.
enum class AgentAction { insert, replace, reply };

std::string_view agentActionRawValue(AgentAction action);                 // "insert", "replace", "reply"
std::optional<AgentAction> agentActionFromRawValue(std::string_view raw);  // absent for any other text

// One find/replace pair; `find` is copied verbatim from the field.
struct TextEdit {
    std::string find;
    std::string replace;

    // Field by field; strings by canonical equivalence.
    bool operator==(const TextEdit& other) const;

    // {"find": ..., "replace": ...}
    nlohmann::ordered_json toJSON() const;
    // Both keys required as strings; throws DecodingError otherwise.
    static TextEdit fromJSON(const nlohmann::ordered_json& j);
};

// The agent's answer.
struct AgentResult {
    AgentAction action = AgentAction::reply;
    std::optional<std::string> text;
    std::vector<TextEdit> edits;
    std::optional<std::string> message;
    std::vector<std::string> external;  // changes made outside the field, one short line each

    // Field by field; strings by canonical equivalence.
    bool operator==(const AgentResult& other) const;

    // Keys action, text, edits, message, external in that order; text and message left out when absent.
    nlohmann::ordered_json toJSON() const;
    // "action" required; the other four optional (missing or null: absent / empty). A present key
    // of the wrong type fails the whole decoding with DecodingError. Other keys are ignored.
    static AgentResult fromJSON(const nlohmann::ordered_json& j);
};

// The failures of an agent back end. what() is the user-visible description: a fixed prefix per
// case followed by the carried message.
class AgentError : public std::exception {
public:
    enum class Kind { launch, failed, badOutput };

    static AgentError launch(std::string message) { return {Kind::launch, std::move(message)}; }
    static AgentError failed(std::string message) { return {Kind::failed, std::move(message)}; }
    static AgentError badOutput(std::string message) { return {Kind::badOutput, std::move(message)}; }

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    // "Couldn't start agent: ", "Agent failed: " or "Agent returned unreadable output: " + message.
    const char* what() const noexcept override { return description_.c_str(); }

private:
    AgentError(Kind kind, std::string message);
    Kind kind_;
    std::string message_;
    std::string description_;
};

// Reads an agent's answer: the whole text as one JSON result, else the slice from its first "{" to
// its last "}". Throws AgentError::badOutput carrying the first 200 characters of the text when
// neither decodes; never reports the decoder's own error.
AgentResult parseAgentResult(std::string_view text);

}  // namespace talkweft
