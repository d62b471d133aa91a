// One recorded edit of a context's history, and its JSON form (one line of the history log).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "TalkweftCore/AgentResult.hpp"
#include "TalkweftCore/Chord.hpp"
#include "TalkweftCore/JSONCoding.hpp"

namespace talkweft {

// Fields in encoding order (memberwise: aggregate initialisation).
struct HistoryEntry {
    Date date;                            // when the edit was made
    Mode mode = Mode::dictate;            // "dictate" or "agent"
    std::string instruction;              // what the user said
    AgentAction action = AgentAction::insert;  // dictation records insert
    std::optional<std::string> text;      // the text inserted, or the answer's text
    std::optional<std::string> replaced;  // the text selected when the request began
    std::vector<TextEdit> edits;
    std::optional<std::string> message;   // the agent's message
    std::vector<std::string> external;    // what the agent did outside the field
    bool applied = false;                 // whether the result reached the field

    // All ten fields; dates compare to the tick, strings by canonical equivalence.
    bool operator==(const HistoryEntry& other) const;

    // Every key in field order, dates as ISO 8601 UTC in whole seconds; text, replaced and message
    // left out when absent, edits and external always written.
    nlohmann::ordered_json toJSON() const;
    // date, mode, instruction, action and applied required; optionals absent when missing or null;
    // edits and external empty when missing or null. A date with fractional seconds, an unknown
    // mode or action, or any wrong type throws DecodingError.
    static HistoryEntry fromJSON(const nlohmann::ordered_json& j);
};

}  // namespace talkweft
