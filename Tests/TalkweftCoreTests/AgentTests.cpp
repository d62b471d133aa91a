#include "TalkweftCore/AgentResult.hpp"

#include <gtest/gtest.h>

using namespace talkweft;
using Json = nlohmann::ordered_json;

namespace {

AgentResult parseOK(std::string_view text) {
    try {
        return parseAgentResult(text);
    } catch (const AgentError& e) {
        ADD_FAILURE() << "unexpected failure: " << e.what();
        return {};
    }
}

AgentError parseFailure(std::string_view text) {
    try {
        parseAgentResult(text);
    } catch (const AgentError& e) {
        return e;
    }
    ADD_FAILURE() << "parsed: " << text;
    return AgentError::failed("");
}

}  // namespace

TEST(AgentResult, EnvelopeVariantsDecode) {
    const AgentResult reply{AgentAction::reply, std::nullopt, {}, "Done.", {}};
    const std::string obj = R"({"action":"reply","message":"Done."})";
    struct Case {
        const char* name;
        std::string text;
    };
    for (const Case& c : std::vector<Case>{
             {"bare object", obj},
             {"surrounding white space", "\n  " + obj + "\n"},
             {"prose around it", "Here is the result:\n" + obj + "\nHope this helps."},
             {"markdown fence", "```json\n" + obj + "\n```"},
             {"inside an array", "[" + obj + "]"},
             {"nulls and unknown keys",
              R"({"action":"reply","message":"Done.","text":null,"edits":null,"external":null,"extra":[1]})"},
         }) {
        EXPECT_EQ(parseOK(c.text), reply) << c.name;
    }
    const AgentResult insert = parseOK(R"({"action":"insert","text":null})");
    EXPECT_EQ(insert.action, AgentAction::insert);
    EXPECT_FALSE(insert.text);
    const AgentResult edits =
        parseOK(R"(Sure. {"action":"replace","edits":[{"find":"teh","replace":"the"}],"external":["Sent mail"]} )");
    EXPECT_EQ(edits.edits, (std::vector<TextEdit>{{"teh", "the"}}));
    EXPECT_EQ(edits.external, std::vector<std::string>{"Sent mail"});
}

TEST(AgentResult, BadAnswersFailWithTheirFirst200Characters) {
    struct Case {
        const char* name;
        std::string text;
    };
    for (const Case& c : std::vector<Case>{
             {"no action", R"({"text":"x"})"},
             {"unknown action", R"({"action":"delete"})"},
             {"edit without find", R"({"action":"replace","edits":[{"replace":"x"}]})"},
             {"edits not a list", R"({"action":"replace","edits":{"find":"a","replace":"b"}})"},
             {"number for text", R"({"action":"insert","text":5})"},
             {"external holds a number", R"({"action":"reply","external":[1]})"},
             {"two objects", R"({"action":"reply"} and {"action":"insert"})"},
             {"closing brace first", R"(} {"action":"reply")"},
             {"unterminated", R"({"action":"reply")"},
             {"not JSON", "I couldn't do that."},
             {"invalid UTF-8 inside", "{\"action\":\"insert\",\"text\":\"\xFF\"}"},
         }) {
        const AgentError e = parseFailure(c.text);
        EXPECT_EQ(e.kind(), AgentError::Kind::badOutput) << c.name;
    }
    EXPECT_EQ(std::string(parseFailure("").what()), "Agent returned unreadable output: ");
    const std::string prose(500, 'x');
    EXPECT_EQ(parseFailure(prose).message(), std::string(200, 'x'));
    // Characters, not bytes: 300 flags keep 200 whole flags.
    std::string flags;
    for (int i = 0; i < 300; ++i) flags += "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";
    EXPECT_EQ(parseFailure(flags).message(), flags.substr(0, 200 * 8));
}

TEST(AgentResult, EncodingOmitsAbsentOptionals) {
    const AgentResult r{AgentAction::insert, std::nullopt, {}, std::nullopt, {}};
    EXPECT_EQ(r.toJSON().dump(), R"({"action":"insert","edits":[],"external":[]})");
    const AgentResult full{AgentAction::replace, "t", {{"a", "b"}}, "m", {"x"}};
    EXPECT_EQ(full.toJSON().dump(),
              R"({"action":"replace","text":"t","edits":[{"find":"a","replace":"b"}],"message":"m","external":["x"]})");
    EXPECT_EQ(AgentResult::fromJSON(full.toJSON()), full);
}

TEST(AgentError, Descriptions) {
    EXPECT_STREQ(AgentError::launch("no such file").what(), "Couldn't start agent: no such file");
    EXPECT_STREQ(AgentError::failed("exit 1").what(), "Agent failed: exit 1");
    EXPECT_STREQ(AgentError::badOutput("x").what(), "Agent returned unreadable output: x");
    EXPECT_EQ(AgentError::failed("exit 1").message(), "exit 1");
}
