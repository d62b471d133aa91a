#include "TalkweftCore/Settings.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

using namespace talkweft;
using Json = nlohmann::ordered_json;

namespace {

std::string expectedHome() {
    const char* h = std::getenv("HOME");
    std::string home = h ? h : "";
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    return home;
}

// A complete settings object with every value different from the defaults.
Json storedSettings() {
    return Json::parse(R"({
        "dictateChord": ["fn"], "agentChord": ["fn", "leftShift"], "dictationEnabled": false,
        "keepHistory": false, "historyLimit": 3, "captureScreenshot": false, "agentKind": "claudeCLI",
        "claude": {"path": "/opt/claude", "model": "opus", "tools": "Read", "allowedTools": "Read",
                   "connectors": false, "connectorTools": "", "connectorWrites": true, "extraArgs": "--verbose",
                   "timeout": 60},
        "whisperModel": "tiny", "language": "de", "minHoldSeconds": 1, "maxRecordingSeconds": 42.5,
        "soundCues": false, "agentInstructions": "Be brief.", "disabledApps": ["a.b"], "noHistoryApps": ["c.d"]
    })");
}

}  // namespace

// The connector tables whole: servers and tools in order, and the default list of allowed connector
// tools built from them.
TEST(ConnectorTables, ServersToolsAndTheDefaultListInOrder) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> table = {
        {"Gmail", {"search_threads", "get_thread", "get_message", "list_labels", "list_drafts", "get_draft"}},
        {"Google_Calendar", {"list_calendars", "list_events", "get_event", "search_events", "suggest_time"}},
        {"Google_Drive", {"search_files", "read_file_content", "get_file_metadata", "list_recent_files"}},
        {"Notion", {"notion-search", "notion-fetch"}},
        {"Slack", {"slack_search_public", "slack_search_public_and_private", "slack_read_channel", "slack_read_thread",
                   "slack_search_users", "slack_read_user_profile"}},
        {"Asana", {"get_my_tasks", "get_task", "search_tasks", "search_objects", "get_project"}},
    };
    EXPECT_EQ(READ_ONLY_CONNECTORS(), table);
    EXPECT_EQ(CONNECTOR_SERVERS(), (std::vector<std::string>{
                                       "mcp__claude_ai_Gmail", "mcp__claude_ai_Google_Calendar",
                                       "mcp__claude_ai_Google_Drive", "mcp__claude_ai_Notion", "mcp__claude_ai_Slack",
                                       "mcp__claude_ai_Asana"}));
    std::string all;
    for (const auto& [server, tools] : table)
        for (const auto& tool : tools) {
            if (!all.empty()) all += ' ';
            all += "mcp__claude_ai_" + server + "__" + tool;
        }
    EXPECT_EQ(READ_ONLY_CONNECTOR_TOOLS(), all);
}

TEST(ClaudeCLIConfig, Defaults) {
    const auto& d = ClaudeCLIConfig::DEFAULT();
    EXPECT_EQ(d.path, expectedHome() + "/.local/bin/claude");
    EXPECT_EQ(d.tools, "Read,Grep,Glob,WebSearch,WebFetch,Bash");
    EXPECT_EQ(d.allowedTools, "Read Grep Glob WebSearch WebFetch Bash(git log:*) Bash(git show:*) Bash(git diff:*)");
    EXPECT_EQ(d.connectorTools, READ_ONLY_CONNECTOR_TOOLS());
    EXPECT_TRUE(d.connectors);
    EXPECT_FALSE(d.connectorWrites);
    EXPECT_EQ(d.timeout, 180.0);
    EXPECT_EQ(ClaudeCLIConfig::fromJSON(d.toJSON()), d);
}

TEST(ClaudeCLIConfig, StrictDecoding) {
    const Json full = storedSettings()["claude"];
    const ClaudeCLIConfig c = ClaudeCLIConfig::fromJSON(full);
    EXPECT_EQ(c, (ClaudeCLIConfig{"/opt/claude", "opus", "Read", "Read", false, "", true, "--verbose", 60.0}));

    // Each key missing, null or of the wrong JSON type fails the whole configuration, naming the key.
    for (const auto& [key, value] : full.items()) {
        Json missing = full;
        missing.erase(key);
        try {
            ClaudeCLIConfig::fromJSON(missing);
            ADD_FAILURE() << "decoded without " << key;
        } catch (const DecodingError& e) {
            EXPECT_NE(std::string(e.what()).find(key), std::string::npos) << e.what();
        }
        Json null = full;
        null[key] = nullptr;
        EXPECT_THROW(ClaudeCLIConfig::fromJSON(null), DecodingError) << key;
        Json wrong = full;
        wrong[key] = value.is_string() ? Json(true) : Json("true");
        EXPECT_THROW(ClaudeCLIConfig::fromJSON(wrong), DecodingError) << key;
    }
    EXPECT_THROW(ClaudeCLIConfig::fromJSON(Json::array()), DecodingError);
    Json extra = full;
    extra["unknown"] = 1;
    EXPECT_EQ(ClaudeCLIConfig::fromJSON(extra), c);
}

TEST(Settings, DefaultRecordJSON) {
    const Settings& d = Settings::DEFAULT();
    Json expected = Json::parse(R"J({
        "dictateChord": ["rightOption"], "agentChord": ["leftOption", "rightOption"], "dictationEnabled": true,
        "keepHistory": true, "historyLimit": 8, "captureScreenshot": true, "agentKind": "claudeCLI",
        "claude": {"path": "", "model": "", "tools": "Read,Grep,Glob,WebSearch,WebFetch,Bash",
                   "allowedTools": "Read Grep Glob WebSearch WebFetch Bash(git log:*) Bash(git show:*) Bash(git diff:*)",
                   "connectors": true, "connectorTools": "", "connectorWrites": false, "extraArgs": "",
                   "timeout": 180.0},
        "whisperModel": "openai_whisper-large-v3-v20240930_626MB", "language": "", "minHoldSeconds": 0.3,
        "maxRecordingSeconds": 300.0, "soundCues": true, "agentInstructions": "",
        "disabledApps": ["com.1password.1password", "com.agilebits.onepassword7", "com.apple.Passwords",
                         "com.apple.keychainaccess"],
        "noHistoryApps": []
    })J");
    expected["claude"]["path"] = expectedHome() + "/.local/bin/claude";
    expected["claude"]["connectorTools"] = READ_ONLY_CONNECTOR_TOOLS();
    const Json got = d.toJSON();
    EXPECT_EQ(got, expected);
    // Keys in field order.
    std::vector<std::string> keys;
    for (const auto& [k, v] : got.items()) keys.push_back(k);
    std::vector<std::string> expectedKeys;
    for (const auto& [k, v] : expected.items()) expectedKeys.push_back(k);
    EXPECT_EQ(keys, expectedKeys);

    EXPECT_EQ(Settings::fromJSON(Json::object()), d);
    EXPECT_EQ(Settings::fromJSONText(got.dump()), d);
}

TEST(Settings, StoredValuesRoundTrip) {
    const Settings s = Settings::fromJSON(storedSettings());
    EXPECT_EQ(s.dictateChord, ModKeySet{ModKey::fn});
    EXPECT_EQ(s.agentChord, (ModKeySet{ModKey::fn, ModKey::leftShift}));
    EXPECT_EQ(s.historyLimit, 3);
    EXPECT_EQ(s.minHoldSeconds, 1.0);  // an integer is accepted for a double
    EXPECT_EQ(s.maxRecordingSeconds, 42.5);
    EXPECT_EQ(s.claude.path, "/opt/claude");
    EXPECT_EQ(s.noHistoryApps, std::vector<std::string>{"c.d"});
    EXPECT_EQ(Settings::fromJSON(s.toJSON()), s);
    EXPECT_FALSE(s == Settings::DEFAULT());
}

TEST(Settings, OneBadKeyFallsBackAlone) {
    const Settings stored = Settings::fromJSON(storedSettings());
    const Settings& d = Settings::DEFAULT();
    struct Case {
        const char* key;
        Json value;
        std::function<bool(const Settings&)> fellBack;
    };
    const std::vector<Case> cases = {
        {"dictateChord", Json::parse(R"(["rightOption","hyper"])"), [&](auto& s) { return s.dictateChord == d.dictateChord; }},
        {"agentChord", "rightOption", [&](auto& s) { return s.agentChord == d.agentChord; }},
        {"dictationEnabled", 1, [&](auto& s) { return s.dictationEnabled == d.dictationEnabled; }},
        {"keepHistory", "false", [&](auto& s) { return s.keepHistory == d.keepHistory; }},
        {"historyLimit", "3", [&](auto& s) { return s.historyLimit == 8; }},
        {"historyLimit", 2.5, [&](auto& s) { return s.historyLimit == 8; }},
        {"historyLimit", 1e300, [&](auto& s) { return s.historyLimit == 8; }},
        {"captureScreenshot", nullptr, [&](auto& s) { return s.captureScreenshot == d.captureScreenshot; }},
        {"claude", Json::parse(R"({"path":"/x"})"), [&](auto& s) { return s.claude == d.claude; }},
        {"whisperModel", 5, [&](auto& s) { return s.whisperModel == d.whisperModel; }},
        {"language", Json::array(), [&](auto& s) { return s.language == d.language; }},
        {"minHoldSeconds", "0.5", [&](auto& s) { return s.minHoldSeconds == d.minHoldSeconds; }},
        {"maxRecordingSeconds", false, [&](auto& s) { return s.maxRecordingSeconds == d.maxRecordingSeconds; }},
        {"soundCues", Json::object(), [&](auto& s) { return s.soundCues == d.soundCues; }},
        {"agentInstructions", 1, [&](auto& s) { return s.agentInstructions == d.agentInstructions; }},
        {"disabledApps", Json::parse(R"(["a.b", 7])"), [&](auto& s) { return s.disabledApps == d.disabledApps; }},
        {"noHistoryApps", "c.d", [&](auto& s) { return s.noHistoryApps.empty(); }},
    };
    for (const auto& c : cases) {
        for (bool remove : {false, true}) {
            Json j = storedSettings();
            if (remove) j.erase(c.key);
            else j[c.key] = c.value;
            const Settings s = Settings::fromJSON(j);
            EXPECT_TRUE(c.fellBack(s)) << c.key << (remove ? " removed" : " replaced");
            // Every other key keeps its stored value.
            Json got = s.toJSON(), want = stored.toJSON();
            got.erase(c.key);
            want.erase(c.key);
            EXPECT_EQ(got, want) << c.key;
        }
    }
}

TEST(Settings, ChordsAndKindEdgeCases) {
    Json j = storedSettings();
    j["dictateChord"] = Json::array();
    j["agentChord"] = Json::parse(R"(["leftOption","leftOption"])");
    j["agentKind"] = "somethingElse";
    const Settings s = Settings::fromJSON(j);
    EXPECT_TRUE(s.dictateChord.empty());
    EXPECT_EQ(s.agentChord, ModKeySet{ModKey::leftOption});
    EXPECT_EQ(s.agentKind, AgentKind::claudeCLI);
    EXPECT_EQ(agentKindFromRawValue("claudeCLI"), AgentKind::claudeCLI);
    EXPECT_EQ(agentKindFromRawValue("ClaudeCLI"), std::nullopt);
}

TEST(Settings, OnlyNonObjectsAndNonJSONFail) {
    EXPECT_THROW(Settings::fromJSON(Json::array()), DecodingError);
    EXPECT_THROW(Settings::fromJSON(Json("x")), DecodingError);
    for (const char* text : {"[]", "", "{", "{\"historyLimit\": }", "nul", "{} trailing", "\xFF"})
        EXPECT_THROW(Settings::fromJSONText(text), DecodingError) << text;
    EXPECT_EQ(Settings::fromJSONText(R"({"unknown": 1, "historyLimit": 12})").historyLimit, 12);
}

TEST(Settings, PerAppQuestions) {
    const Settings& d = Settings::DEFAULT();
    EXPECT_TRUE(d.isDisabled("com.apple.Passwords"));
    EXPECT_FALSE(d.isDisabled("com.apple.passwords"));
    EXPECT_FALSE(d.isDisabled(" com.apple.Passwords"));
    EXPECT_FALSE(d.keepsHistory("com.apple.keychainaccess"));
    EXPECT_TRUE(d.keepsHistory("org.example.editor"));
    Settings s = d;
    s.noHistoryApps = {"org.example.editor"};
    EXPECT_FALSE(s.keepsHistory("org.example.editor"));
    s.noHistoryApps = {};
    s.keepHistory = false;
    EXPECT_FALSE(s.keepsHistory("org.example.editor"));
    // Canonically equivalent identifiers match.
    s.disabledApps = {"caf\xC3\xA9.app"};
    EXPECT_TRUE(s.isDisabled("cafe\xCC\x81.app"));
}

TEST(Settings, EqualityUsesCanonicalEquivalence) {
    Settings a = Settings::DEFAULT(), b = Settings::DEFAULT();
    a.agentInstructions = "R\xC3\xA9sum\xC3\xA9";
    b.agentInstructions = "Re\xCC\x81sume\xCC\x81";
    EXPECT_EQ(a, b);
    b.disabledApps.push_back("x");
    EXPECT_FALSE(a == b);
}
