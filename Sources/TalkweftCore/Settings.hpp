// The user's settings: the agent command-line options (ClaudeCLIConfig) with the connector tables,
// and the Settings record with its JSON form.
//
// ClaudeCLIConfig decodes strictly (all nine keys or nothing); Settings decodes key by key, each
// bad or missing key falling back to its default alone. Plain values; the DEFAULT constants and the
// connector tables are built once on first use, thread-safely.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "TalkweftCore/Chord.hpp"
#include "TalkweftCore/JSONCoding.hpp"

namespace talkweft {

// The six connected services with their read-only tools, in order: (server, tools).
const std::vector<std::pair<std::string, std::vector<std::string>>>& READ_ONLY_CONNECTORS();
// "mcp__claude_ai_" + server, for each server in order.
const std::vector<std::string>& CONNECTOR_SERVERS();
// Every read-only tool as "mcp__claude_ai_<server>__<tool>", all joined with single blanks.
const std::string& READ_ONLY_CONNECTOR_TOOLS();

// How the agent command-line tool is started. Fields in encoding order.
struct ClaudeCLIConfig {
    std::string path;          // absolute path of the agent executable
    std::string model;         // empty: the tool's own default model
    std::string tools;         // comma-separated, one argument
    std::string allowedTools;  // blank-separated tools and patterns allowed without asking
    bool connectors = true;    // whether connected services may be used
    std::string connectorTools;
    bool connectorWrites = false;
    std::string extraArgs;  // blank-separated, appended last
    double timeout = 180.0;  // seconds

    // The defaults; `path` is the home directory ($HOME, else the password database) + "/.local/bin/claude",
    // fixed at first use.
    static const ClaudeCLIConfig& DEFAULT();

    // A JSON object with all nine keys, in field order.
    nlohmann::ordered_json toJSON() const;
    // Strict: throws DecodingError for a non-object or for the first key that is missing, null or of
    // the wrong JSON type (timeout accepts integers). Other keys are ignored; nothing is validated.
    static ClaudeCLIConfig fromJSON(const nlohmann::ordered_json& j);

    // Field by field; strings by canonical equivalence.
    bool operator==(const ClaudeCLIConfig& other) const;
};

// The agent back ends; only one exists.
enum class AgentKind { claudeCLI };
inline constexpr AgentKind AGENT_KIND_ALL_CASES[] = {AgentKind::claudeCLI};
std::string_view agentKindRawValue(AgentKind kind);                 // "claudeCLI"
std::optional<AgentKind> agentKindFromRawValue(std::string_view raw);  // absent for any other text

// Apps in which the program is off by default (password managers and keychain apps).
const std::vector<std::string>& DEFAULT_DISABLED_APPS();

// Everything the user can set. Fields in encoding order (memberwise: aggregate initialisation).
struct Settings {
    ModKeySet dictateChord;
    ModKeySet agentChord;
    bool dictationEnabled = true;
    bool keepHistory = true;
    std::int64_t historyLimit = 8;
    bool captureScreenshot = true;
    AgentKind agentKind = AgentKind::claudeCLI;
    ClaudeCLIConfig claude;
    std::string whisperModel;
    std::string language;  // empty: automatic detection
    double minHoldSeconds = 0.3;
    double maxRecordingSeconds = 300.0;
    bool soundCues = true;
    std::string agentInstructions;
    std::vector<std::string> disabledApps;   // bundle identifiers
    std::vector<std::string> noHistoryApps;  // bundle identifiers

    // The default record (claude = ClaudeCLIConfig::DEFAULT(), disabledApps = DEFAULT_DISABLED_APPS()).
    static const Settings& DEFAULT();

    // True when `disabledApps` holds an identifier equal to `bundleID` (exact up to canonical
    // equivalence; case-sensitive, no trimming).
    bool isDisabled(std::string_view bundleID) const;
    // True when keepHistory is on and `bundleID` is in neither noHistoryApps nor disabledApps.
    bool keepsHistory(std::string_view bundleID) const;

    // A JSON object with all sixteen keys, always.
    nlohmann::ordered_json toJSON() const;
    // Throws DecodingError only when `j` is not an object. Every key that is missing, null, of
    // another type or rejected by its field's type takes the default value by itself; "claude"
    // falls back as a whole. Other keys are ignored.
    static Settings fromJSON(const nlohmann::ordered_json& j);
    // Parses text and decodes it as above; throws DecodingError when the text is not JSON or not an object.
    static Settings fromJSONText(std::string_view text);

    // Chords as sets, numbers by value, strings by canonical equivalence, lists element by element in order.
    bool operator==(const Settings& other) const;
};

}  // namespace talkweft
