#include "TalkweftCore/AgentResult.hpp"

#include "Unicode/Unicode.hpp"

namespace talkweft {

using Json = nlohmann::ordered_json;

std::string_view agentActionRawValue(AgentAction action) {
    switch (action) {
        case AgentAction::insert: return "insert";
        case AgentAction::replace: return "replace";
        case AgentAction::reply: return "reply";
    }
    return "";
}

std::optional<AgentAction> agentActionFromRawValue(std::string_view raw) {
    for (AgentAction a : {AgentAction::insert, AgentAction::replace, AgentAction::reply})
        if (agentActionRawValue(a) == raw) return a;
    return std::nullopt;
}

bool TextEdit::operator==(const TextEdit& o) const {
    return unicode::canonicallyEqual(find, o.find) && unicode::canonicallyEqual(replace, o.replace);
}

bool AgentResult::operator==(const AgentResult& o) const {
    return action == o.action && unicode::canonicallyEqualOptional(text, o.text) && edits == o.edits &&
           unicode::canonicallyEqualOptional(message, o.message) && unicode::canonicallyEqualLists(external, o.external);
}

Json TextEdit::toJSON() const {
    Json j = Json::object();
    j["find"] = find;
    j["replace"] = replace;
    return j;
}

TextEdit TextEdit::fromJSON(const Json& j) {
    jsoncoding::requireObject(j, "edit");
    return {jsoncoding::requireString(j, "find"), jsoncoding::requireString(j, "replace")};
}

Json AgentResult::toJSON() const {
    Json j = Json::object();
    j["action"] = std::string(agentActionRawValue(action));
    if (text) j["text"] = *text;
    Json e = Json::array();
    for (const auto& edit : edits) e.push_back(edit.toJSON());
    j["edits"] = std::move(e);
    if (message) j["message"] = *message;
    j["external"] = external;
    return j;
}

AgentResult AgentResult::fromJSON(const Json& j) {
    using namespace jsoncoding;
    requireObject(j, "result");
    AgentResult r;
    const std::string action = requireString(j, "action");
    const auto a = agentActionFromRawValue(action);
    if (!a) throw DecodingError("key \"action\": unknown action \"" + action + "\"");
    r.action = *a;
    r.text = optionalString(j, "text");
    if (const auto it = j.find("edits"); it != j.end() && !it->is_null()) {
        if (!it->is_array()) throw DecodingError("key \"edits\": expected an array");
        for (const Json& e : *it) r.edits.push_back(TextEdit::fromJSON(e));
    }
    r.message = optionalString(j, "message");
    r.external = stringList(j, "external");
    return r;
}

AgentError::AgentError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {
    switch (kind_) {
        case Kind::launch: description_ = "Couldn't start agent: "; break;
        case Kind::failed: description_ = "Agent failed: "; break;
        case Kind::badOutput: description_ = "Agent returned unreadable output: "; break;
    }
    description_ += message_;
}

namespace {

std::optional<AgentResult> tryDecode(std::string_view text) {
    const Json j = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (j.is_discarded()) return std::nullopt;
    try {
        return AgentResult::fromJSON(j);
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

}  // namespace

AgentResult parseAgentResult(std::string_view text) {
    if (auto r = tryDecode(text)) return *r;
    const auto open = text.find('{');
    const auto close = text.rfind('}');
    if (open != std::string_view::npos && close != std::string_view::npos && open < close) {
        if (auto r = tryDecode(text.substr(open, close - open + 1))) return *r;
    }
    // Repaired so the message stays valid UTF-8 for the panel and the log.
    throw AgentError::badOutput(unicode::repairUTF8(unicode::prefixCharacters(text, 200)));
}

}  // namespace talkweft
