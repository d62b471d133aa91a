#include "TalkweftCore/Settings.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "Unicode/Unicode.hpp"

namespace talkweft {

using Json = nlohmann::ordered_json;

namespace {

// constexpr, so the tables below are safe to build from other files' static initialisers too.
constexpr std::string_view CONNECTOR_PREFIX = "mcp__claude_ai_";

// The user's home directory without a trailing slash: $HOME when set, else the password database.
std::string homeDirectory() {
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) {
        home = h;
    } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
        home = pw->pw_dir;
    }
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    return home;
}

bool contains(const std::vector<std::string>& list, std::string_view s) {
    for (const auto& e : list)
        if (unicode::canonicallyEqual(e, s)) return true;
    return false;
}

// Key-by-key fallback: the decoded value, or `fallback` when the key is missing or rejected.
template <typename T, typename F>
T orDefault(const Json& obj, const char* key, const T& fallback, F&& decode) {
    const auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return fallback;
    try {
        return decode(*it);
    } catch (const std::exception&) {
        return fallback;
    }
}

bool decodeBool(const Json& v) {
    if (!v.is_boolean()) throw DecodingError("expected true or false");
    return v.get<bool>();
}

double decodeDouble(const Json& v) {
    if (!v.is_number()) throw DecodingError("expected a number");
    return v.get<double>();
}

std::string decodeString(const Json& v) {
    if (!v.is_string()) throw DecodingError("expected a string");
    return v.get<std::string>();
}

std::vector<std::string> decodeStringArray(const Json& v) {
    if (!v.is_array()) throw DecodingError("expected an array of strings");
    std::vector<std::string> out;
    for (const auto& e : v) out.push_back(decodeString(e));
    return out;
}

}  // namespace

const std::vector<std::pair<std::string, std::vector<std::string>>>& READ_ONLY_CONNECTORS() {
    static const std::vector<std::pair<std::string, std::vector<std::string>>> table = {
        {"Gmail", {"search_threads", "get_thread", "get_message", "list_labels", "list_drafts", "get_draft"}},
        {"Google_Calendar", {"list_calendars", "list_events", "get_event", "search_events", "suggest_time"}},
        {"Google_Drive", {"search_files", "read_file_content", "get_file_metadata", "list_recent_files"}},
        {"Notion", {"notion-search", "notion-fetch"}},
        {"Slack",
         {"slack_search_public", "slack_search_public_and_private", "slack_read_channel", "slack_read_thread",
          "slack_search_users", "slack_read_user_profile"}},
        {"Asana", {"get_my_tasks", "get_task", "search_tasks", "search_objects", "get_project"}},
    };
    return table;
}

const std::vector<std::string>& CONNECTOR_SERVERS() {
    static const std::vector<std::string> servers = [] {
        std::vector<std::string> out;
        for (const auto& [server, tools] : READ_ONLY_CONNECTORS()) out.push_back(std::string(CONNECTOR_PREFIX) + server);
        return out;
    }();
    return servers;
}

const std::string& READ_ONLY_CONNECTOR_TOOLS() {
    static const std::string joined = [] {
        std::string out;
        for (const auto& [server, tools] : READ_ONLY_CONNECTORS())
            for (const auto& tool : tools) {
                if (!out.empty()) out += ' ';
                out.append(CONNECTOR_PREFIX).append(server).append("__").append(tool);
            }
        return out;
    }();
    return joined;
}

// ---- ClaudeCLIConfig ----

const ClaudeCLIConfig& ClaudeCLIConfig::DEFAULT() {
    static const ClaudeCLIConfig config{
        homeDirectory() + "/.local/bin/claude",
        "",
        "Read,Grep,Glob,WebSearch,WebFetch,Bash",
        "Read Grep Glob WebSearch WebFetch Bash(git log:*) Bash(git show:*) Bash(git diff:*)",
        true,
        READ_ONLY_CONNECTOR_TOOLS(),
        false,
        "",
        180.0,
    };
    return config;
}

Json ClaudeCLIConfig::toJSON() const {
    Json j = Json::object();
    j["path"] = path;
    j["model"] = model;
    j["tools"] = tools;
    j["allowedTools"] = allowedTools;
    j["connectors"] = connectors;
    j["connectorTools"] = connectorTools;
    j["connectorWrites"] = connectorWrites;
    j["extraArgs"] = extraArgs;
    j["timeout"] = timeout;
    return j;
}

ClaudeCLIConfig ClaudeCLIConfig::fromJSON(const Json& j) {
    using namespace jsoncoding;
    requireObject(j, "claude");
    try {
        ClaudeCLIConfig c;
        c.path = requireString(j, "path");
        c.model = requireString(j, "model");
        c.tools = requireString(j, "tools");
        c.allowedTools = requireString(j, "allowedTools");
        c.connectors = requireBool(j, "connectors");
        c.connectorTools = requireString(j, "connectorTools");
        c.connectorWrites = requireBool(j, "connectorWrites");
        c.extraArgs = requireString(j, "extraArgs");
        c.timeout = requireNumber(j, "timeout");
        return c;
    } catch (const DecodingError& e) {
        throw DecodingError(std::string("claude: ") + e.what());
    }
}

bool ClaudeCLIConfig::operator==(const ClaudeCLIConfig& o) const {
    using unicode::canonicallyEqual;
    return canonicallyEqual(path, o.path) && canonicallyEqual(model, o.model) && canonicallyEqual(tools, o.tools) &&
           canonicallyEqual(allowedTools, o.allowedTools) && connectors == o.connectors &&
           canonicallyEqual(connectorTools, o.connectorTools) && connectorWrites == o.connectorWrites &&
           canonicallyEqual(extraArgs, o.extraArgs) && timeout == o.timeout;
}

// ---- AgentKind ----

std::string_view agentKindRawValue(AgentKind) { return "claudeCLI"; }

std::optional<AgentKind> agentKindFromRawValue(std::string_view raw) {
    if (raw == "claudeCLI") return AgentKind::claudeCLI;
    return std::nullopt;
}

// ---- Settings ----

const std::vector<std::string>& DEFAULT_DISABLED_APPS() {
    static const std::vector<std::string> apps = {"com.1password.1password", "com.agilebits.onepassword7",
                                                  "com.apple.Passwords", "com.apple.keychainaccess"};
    return apps;
}

const Settings& Settings::DEFAULT() {
    static const Settings settings{
        {ModKey::rightOption},
        {ModKey::rightOption, ModKey::leftOption},
        true,
        true,
        8,
        true,
        AgentKind::claudeCLI,
        ClaudeCLIConfig::DEFAULT(),
        "openai_whisper-large-v3-v20240930_626MB",
        "",
        0.3,
        300.0,
        true,
        "",
        DEFAULT_DISABLED_APPS(),
        {},
    };
    return settings;
}

bool Settings::isDisabled(std::string_view bundleID) const { return contains(disabledApps, bundleID); }

bool Settings::keepsHistory(std::string_view bundleID) const {
    return keepHistory && !contains(noHistoryApps, bundleID) && !contains(disabledApps, bundleID);
}

Json Settings::toJSON() const {
    Json j = Json::object();
    j["dictateChord"] = chordToJSON(dictateChord);
    j["agentChord"] = chordToJSON(agentChord);
    j["dictationEnabled"] = dictationEnabled;
    j["keepHistory"] = keepHistory;
    j["historyLimit"] = historyLimit;
    j["captureScreenshot"] = captureScreenshot;
    j["agentKind"] = std::string(agentKindRawValue(agentKind));
    j["claude"] = claude.toJSON();
    j["whisperModel"] = whisperModel;
    j["language"] = language;
    j["minHoldSeconds"] = minHoldSeconds;
    j["maxRecordingSeconds"] = maxRecordingSeconds;
    j["soundCues"] = soundCues;
    j["agentInstructions"] = agentInstructions;
    j["disabledApps"] = disabledApps;
    j["noHistoryApps"] = noHistoryApps;
    return j;
}

Settings Settings::fromJSON(const Json& j) {
    jsoncoding::requireObject(j, "settings");
    const Settings& d = DEFAULT();
    Settings s;
    s.dictateChord = orDefault(j, "dictateChord", d.dictateChord, chordFromJSON);
    s.agentChord = orDefault(j, "agentChord", d.agentChord, chordFromJSON);
    s.dictationEnabled = orDefault(j, "dictationEnabled", d.dictationEnabled, decodeBool);
    s.keepHistory = orDefault(j, "keepHistory", d.keepHistory, decodeBool);
    s.historyLimit = orDefault(j, "historyLimit", d.historyLimit, jsoncoding::int64Value);
    s.captureScreenshot = orDefault(j, "captureScreenshot", d.captureScreenshot, decodeBool);
    // Only one back end exists, so whatever the key holds the kind is the same.
    s.agentKind = AgentKind::claudeCLI;
    s.claude = orDefault(j, "claude", d.claude, ClaudeCLIConfig::fromJSON);
    s.whisperModel = orDefault(j, "whisperModel", d.whisperModel, decodeString);
    s.language = orDefault(j, "language", d.language, decodeString);
    s.minHoldSeconds = orDefault(j, "minHoldSeconds", d.minHoldSeconds, decodeDouble);
    s.maxRecordingSeconds = orDefault(j, "maxRecordingSeconds", d.maxRecordingSeconds, decodeDouble);
    s.soundCues = orDefault(j, "soundCues", d.soundCues, decodeBool);
    s.agentInstructions = orDefault(j, "agentInstructions", d.agentInstructions, decodeString);
    s.disabledApps = orDefault(j, "disabledApps", d.disabledApps, decodeStringArray);
    s.noHistoryApps = orDefault(j, "noHistoryApps", d.noHistoryApps, decodeStringArray);
    return s;
}

Settings Settings::fromJSONText(std::string_view text) {
    Json j;
    try {
        j = jsoncoding::parse(text);
    } catch (const DecodingError&) {
        throw DecodingError("settings: not valid JSON");
    }
    return fromJSON(j);
}

bool Settings::operator==(const Settings& o) const {
    using unicode::canonicallyEqual;
    return dictateChord == o.dictateChord && agentChord == o.agentChord && dictationEnabled == o.dictationEnabled &&
           keepHistory == o.keepHistory && historyLimit == o.historyLimit &&
           captureScreenshot == o.captureScreenshot && agentKind == o.agentKind && claude == o.claude &&
           canonicallyEqual(whisperModel, o.whisperModel) && canonicallyEqual(language, o.language) &&
           minHoldSeconds == o.minHoldSeconds && maxRecordingSeconds == o.maxRecordingSeconds &&
           soundCues == o.soundCues && canonicallyEqual(agentInstructions, o.agentInstructions) &&
           unicode::canonicallyEqualLists(disabledApps, o.disabledApps) &&
           unicode::canonicallyEqualLists(noHistoryApps, o.noHistoryApps);
}

}  // namespace talkweft
