#include "TalkweftCore/HistoryEntry.hpp"

#include <gtest/gtest.h>

using namespace talkweft;
using Json = nlohmann::ordered_json;
using namespace std::chrono;

namespace {

Date at(int y, unsigned mo, unsigned d, int h, int mi, int s) {
    return sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s};
}

}  // namespace

TEST(ISO8601, FormatAndParse) {
    const Date d = at(2026, 3, 7, 9, 5, 2);
    EXPECT_EQ(formatISO8601(d), "2026-03-07T09:05:02Z");
    EXPECT_EQ(formatISO8601(d + milliseconds{999}), "2026-03-07T09:05:02Z");
    EXPECT_EQ(parseISO8601("2026-03-07T09:05:02Z"), d);
    EXPECT_EQ(formatISO8601(at(1969, 12, 31, 23, 59, 59)), "1969-12-31T23:59:59Z");
    for (const char* edge : {"1677-09-21T00:12:44Z", "2262-04-11T23:47:16Z"}) {
        const auto parsed = parseISO8601(edge);
        ASSERT_TRUE(parsed) << edge;
        EXPECT_EQ(formatISO8601(*parsed), edge);
    }
    for (const char* bad : {"2026-03-07T09:05:02.5Z", "2026-03-07T09:05:02", "2026-03-07 09:05:02Z",
                            "2026-02-30T00:00:00Z", "2026-03-07T24:00:00Z", "26-03-07T09:05:02Z", "",
                            // beyond what the clock holds: rejected, not wrapped round to another date
                            "0001-01-01T00:00:00Z", "1677-09-21T00:12:43Z", "2262-04-11T23:47:17Z",
                            "9999-12-31T23:59:59Z"})
        EXPECT_FALSE(parseISO8601(bad)) << bad;
}

TEST(HistoryEntry, JSONForm) {
    const HistoryEntry minimal{at(2026, 1, 2, 3, 4, 5), Mode::dictate, "hello", AgentAction::insert,
                               std::nullopt, std::nullopt, {}, std::nullopt, {}, true};
    EXPECT_EQ(minimal.toJSON().dump(),
              R"({"date":"2026-01-02T03:04:05Z","mode":"dictate","instruction":"hello","action":"insert","edits":[],"external":[],"applied":true})");
    const HistoryEntry full{at(2026, 1, 2, 3, 4, 5), Mode::agent, "fix it", AgentAction::replace, "t", "old",
                            {{"teh", "the"}}, "ok", {"Sent email"}, false};
    EXPECT_EQ(full.toJSON().dump(),
              R"({"date":"2026-01-02T03:04:05Z","mode":"agent","instruction":"fix it","action":"replace","text":"t","replaced":"old","edits":[{"find":"teh","replace":"the"}],"message":"ok","external":["Sent email"],"applied":false})");
    for (const auto& e : {minimal, full}) EXPECT_EQ(HistoryEntry::fromJSON(Json::parse(e.toJSON().dump())), e);
}

TEST(HistoryEntry, DecodingRules) {
    const Json base = Json::parse(
        R"({"date":"2026-01-02T03:04:05Z","mode":"agent","instruction":"x","action":"reply","applied":true})");
    const HistoryEntry e = HistoryEntry::fromJSON(base);  // edits and external may be missing
    EXPECT_TRUE(e.edits.empty());
    EXPECT_TRUE(e.external.empty());
    Json nulls = base;
    nulls["text"] = nullptr;
    nulls["message"] = nullptr;
    EXPECT_EQ(HistoryEntry::fromJSON(nulls), e);

    struct Case {
        const char* key;
        Json value;  // null: remove the key
    };
    for (const Case& c : std::vector<Case>{{"date", nullptr},
                                           {"date", "2026-01-02T03:04:05.123Z"},
                                           {"date", 1767323045},
                                           {"mode", "Agent"},
                                           {"instruction", nullptr},
                                           {"action", "delete"},
                                           {"applied", nullptr},
                                           {"applied", "true"},
                                           {"text", 3},
                                           {"edits", Json::parse(R"([{"find":"a"}])")},
                                           {"external", "one"}}) {
        Json j = base;
        if (c.value.is_null()) j.erase(c.key);
        else j[c.key] = c.value;
        EXPECT_THROW(HistoryEntry::fromJSON(j), DecodingError) << c.key << " = " << c.value.dump();
    }
    EXPECT_THROW(HistoryEntry::fromJSON(Json::array()), DecodingError);
}

TEST(HistoryEntry, TextsCompareByCanonicalEquivalence) {
    const std::string composed = "caf\xC3\xA9", decomposed = "cafe\xCC\x81";
    const auto make = [](const std::string& t) {
        return HistoryEntry{at(2026, 1, 2, 3, 4, 5), Mode::agent, t, AgentAction::replace, t, t,
                            {{t, t}}, t, {t}, true};
    };
    EXPECT_EQ(make(composed), make(decomposed));
    EXPECT_FALSE(make(composed) == make("cafe"));
    const AgentResult a{AgentAction::replace, composed, {{composed, "x"}}, std::nullopt, {composed}};
    const AgentResult b{AgentAction::replace, decomposed, {{decomposed, "x"}}, std::nullopt, {decomposed}};
    EXPECT_EQ(a, b);
    EXPECT_FALSE(a == (AgentResult{AgentAction::replace, composed, {{composed, "x"}}, "", {composed}}));
}
