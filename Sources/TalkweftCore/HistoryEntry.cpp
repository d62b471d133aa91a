#include "TalkweftCore/HistoryEntry.hpp"

#include "Unicode/Unicode.hpp"

namespace talkweft {

using Json = nlohmann::ordered_json;

bool HistoryEntry::operator==(const HistoryEntry& o) const {
    using namespace unicode;
    return date == o.date && mode == o.mode && canonicallyEqual(instruction, o.instruction) && action == o.action &&
           canonicallyEqualOptional(text, o.text) && canonicallyEqualOptional(replaced, o.replaced) &&
           edits == o.edits && canonicallyEqualOptional(message, o.message) &&
           canonicallyEqualLists(external, o.external) && applied == o.applied;
}

Json HistoryEntry::toJSON() const {
    Json j = Json::object();
    j["date"] = formatISO8601(date);
    j["mode"] = std::string(modeRawValue(mode));
    j["instruction"] = instruction;
    j["action"] = std::string(agentActionRawValue(action));
    if (text) j["text"] = *text;
    if (replaced) j["replaced"] = *replaced;
    Json e = Json::array();
    for (const auto& edit : edits) e.push_back(edit.toJSON());
    j["edits"] = std::move(e);
    if (message) j["message"] = *message;
    j["external"] = external;
    j["applied"] = applied;
    return j;
}

HistoryEntry HistoryEntry::fromJSON(const Json& j) {
    using namespace jsoncoding;
    requireObject(j, "history entry");
    HistoryEntry h;
    h.date = requireDate(j, "date");
    const std::string mode = requireString(j, "mode");
    const auto m = modeFromRawValue(mode);
    if (!m) throw DecodingError("key \"mode\": unknown mode \"" + mode + "\"");
    h.mode = *m;
    h.instruction = requireString(j, "instruction");
    const std::string action = requireString(j, "action");
    const auto a = agentActionFromRawValue(action);
    if (!a) throw DecodingError("key \"action\": unknown action \"" + action + "\"");
    h.action = *a;
    h.text = optionalString(j, "text");
    h.replaced = optionalString(j, "replaced");
    if (const auto it = j.find("edits"); it != j.end() && !it->is_null()) {
        if (!it->is_array()) throw DecodingError("key \"edits\": expected an array");
        for (const Json& e : *it) h.edits.push_back(TextEdit::fromJSON(e));
    }
    h.message = optionalString(j, "message");
    h.external = stringList(j, "external");
    h.applied = requireBool(j, "applied");
    return h;
}

}  // namespace talkweft
