#include "ZadezarIro/Core/TranscriptionResult.hpp"

#include <functional>
#include <thread>
#include <unordered_set>

#include <gtest/gtest.h>

#include "TestSupport.hpp"

using namespace zadezariro;

namespace {
WordTiming word(const std::string& text, float start = 0, float end = 1) { return WordTiming{text, {1, 2}, start, end, 0.5f}; }

TranscriptionSegment segment(std::int64_t id, float start, float end, const std::string& text,
                             std::optional<std::vector<WordTiming>> words = std::nullopt) {
    TranscriptionSegment s;
    s.id = id;
    s.seek = 16000;
    s.start = start;
    s.end = end;
    s.text = text;
    s.tokens = {50364, 440, 50414};
    s.tokenLogProbs = {{{50364, -0.25f}}, {{440, -1.5f}}, {{50414, 0.0f}}};
    s.temperature = 0.2f;
    s.avgLogprob = -0.5f;
    s.compressionRatio = 1.25f;
    s.noSpeechProb = 0.1f;
    s.words = std::move(words);
    return s;
}
}  // namespace

TEST(TranscriptionSegment, JSONKeepsAbsentAndEmptyWordsApart) {
    const auto plain = segment(0, 0, 1, " hi");
    const Json j = plain.toJSON();
    EXPECT_FALSE(j.contains("words"));
    EXPECT_EQ(j["tokenLogProbs"].dump(), R"([{"50364":-0.25},{"440":-1.5},{"50414":0.0}])");
    EXPECT_EQ(TranscriptionSegment::fromJSON(Json::parse(j.dump())), plain);

    const auto empty = segment(0, 0, 1, " hi", std::vector<WordTiming>{});
    EXPECT_EQ(empty.toJSON()["words"], Json::array());
    EXPECT_EQ(TranscriptionSegment::fromJSON(empty.toJSON()), empty);
    EXPECT_FALSE(empty == plain);

    const auto withWords = segment(1, 0, 1, " hi there", std::vector<WordTiming>{word(" hi"), word(" there", 1, 2)});
    EXPECT_EQ(TranscriptionSegment::fromJSON(Json::parse(withWords.toJSON().dump())), withWords);

    auto otherProbs = plain;
    otherProbs.tokenLogProbs[1] = {{440, -1.25f}};
    EXPECT_FALSE(otherProbs == plain);

    Json noText = j;
    noText.erase("noSpeechProb");
    EXPECT_THROW(TranscriptionSegment::fromJSON(noText), DecodingError);
    Json badKey = j;
    badKey["tokenLogProbs"] = Json::parse(R"([{"x":1}])");
    EXPECT_THROW(TranscriptionSegment::fromJSON(badKey), DecodingError);
    EXPECT_THROW(WordTiming::fromJSON(Json::parse(R"({"word":"a","tokens":[],"start":0,"end":1})")), DecodingError);
}

TEST(TranscriptionSegment, HashingAgreesWithEquality) {
    // A set keeps one of each equal value (0.0 and -0.0 are equal) and every value that differs in
    // one field; an equal value hashed differently would be kept twice.
    const auto base = segment(0, 0, 1, " hi", std::vector<WordTiming>{word(" hi")});
    const std::pair<const char*, std::function<void(TranscriptionSegment&)>> changes[] = {
        {"id", [](auto& s) { s.id = 7; }},
        {"seek", [](auto& s) { s.seek = 0; }},
        {"start", [](auto& s) { s.start = 0.5f; }},
        {"end", [](auto& s) { s.end = 2; }},
        {"text", [](auto& s) { s.text = " ho"; }},
        {"tokens", [](auto& s) { s.tokens.pop_back(); }},
        {"one log-probability", [](auto& s) { s.tokenLogProbs[1] = {{440, -1.25f}}; }},
        {"temperature", [](auto& s) { s.temperature = 0.4f; }},
        {"avgLogprob", [](auto& s) { s.avgLogprob = -0.25f; }},
        {"compressionRatio", [](auto& s) { s.compressionRatio = 2; }},
        {"noSpeechProb", [](auto& s) { s.noSpeechProb = 0.2f; }},
        {"words absent", [](auto& s) { s.words.reset(); }},
        {"words empty", [](auto& s) { s.words = std::vector<WordTiming>{}; }},
        {"a word's probability", [](auto& s) { s.words->at(0).probability = 0.75f; }},
    };
    std::unordered_set<TranscriptionSegment> segments{base};
    for (const auto& [name, change] : changes) {
        auto changed = base;
        change(changed);
        EXPECT_TRUE(segments.insert(changed).second) << name;
    }
    auto same = base;
    same.start = -0.0f;
    EXPECT_FALSE(segments.insert(same).second) << "-0.0 equals 0.0";
    EXPECT_EQ(std::hash<TranscriptionSegment>{}(same), std::hash<TranscriptionSegment>{}(base));

    std::unordered_set<WordTiming> words{word(" a"), word(" a", 0, 2), word(" b"), WordTiming{" a", {1}, 0, 1, 0.5f}};
    EXPECT_EQ(words.size(), 4u);
    EXPECT_FALSE(words.insert(WordTiming{" a", {1, 2}, -0.0f, 1, 0.5f}).second);
}

TEST(TranscriptionSegment, DurationsMayBeNegative) {
    EXPECT_FLOAT_EQ(segment(0, 2.5f, 1.0f, "").duration(), -1.5f);
    EXPECT_FLOAT_EQ(word("a", 1.0f, 1.75f).duration(), 0.75f);
}

TEST(TranscriptionResult, SeekTimeIsWrittenAsNullAndRequiredByTheClassOnly) {
    TranscriptionResult result(" hi", {segment(0, 0, 1, " hi")}, "en", TranscriptionTimings{});
    const Json j = result.toJSON();
    ASSERT_TRUE(j.contains("seekTime"));
    EXPECT_TRUE(j["seekTime"].is_null());
    auto back = TranscriptionResult::fromJSON(Json::parse(j.dump()));
    EXPECT_EQ(back->segments(), result.segments());
    EXPECT_FALSE(back->seekTime());

    Json withoutSeek = j;
    withoutSeek.erase("seekTime");
    EXPECT_THROW(TranscriptionResult::fromJSON(withoutSeek), DecodingError);
    const auto value = TranscriptionResultStruct::fromJSON(withoutSeek);
    EXPECT_EQ(value.text, " hi");
    EXPECT_FALSE(value.toJSON().contains("seekTime"));

    result.setSeekTime(12.5f);
    EXPECT_EQ(result.toJSON()["seekTime"], 12.5);
    EXPECT_EQ(TranscriptionResult::fromJSON(result.toJSON())->seekTime(), 12.5f);
}

TEST(TranscriptionResult, AllWordsSkipsSegmentsWithoutWords) {
    TranscriptionResult result("", {segment(0, 0, 1, "x"), segment(1, 1, 2, "y", std::vector<WordTiming>{}),
                                    segment(2, 2, 3, "z", std::vector<WordTiming>{word("a"), word("b")})},
                               "en", TranscriptionTimings{});
    EXPECT_EQ(result.allWords(), (std::vector<WordTiming>{word("a"), word("b")}));
    EXPECT_TRUE(TranscriptionResult("", {}, "en", TranscriptionTimings{}).allWords().empty());
}

TEST(TranscriptionResult, LogSegmentsWritesOneNumberedDebugLineEach) {
    TranscriptionResult result("", {segment(0, 12.345678f, 13, " a"), segment(1, 13, 14, "b"), segment(2, 14, 15, "c")}, "en",
                               TranscriptionTimings{});
    testsupport::LogCapture log;
    result.logSegments();
    EXPECT_EQ(log.lines, (std::vector<std::string>{"[Segment 0] [12.35 --> 13.00]  a", "[Segment 1] [13.00 --> 14.00] b",
                                                   "[Segment 2] [14.00 --> 15.00] c"}));
    log.lines.clear();
    result.logTimings();
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find("Total Tokens:                  9"), std::string::npos);

    testsupport::LogCapture errorsOnly(darori::Logging::LogLevel::error);
    result.logSegments();
    result.logTimings();
    EXPECT_TRUE(errorsOnly.lines.empty());
}

TEST(TranscriptionResult, ConcurrentModifiesLoseNoUpdate) {
    TranscriptionResult result("", {}, "en", TranscriptionTimings{});
    constexpr int THREADS = 4, ROUNDS = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < ROUNDS; ++i) {
                result.modifyTimings([](TranscriptionTimings& timings) { timings.totalDecodingLoops += 1; });
                result.modifySegments([](std::vector<TranscriptionSegment>& segments) { segments.emplace_back(); });
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(result.timings().totalDecodingLoops, THREADS * ROUNDS);
    EXPECT_EQ(result.segments().size(), static_cast<std::size_t>(THREADS * ROUNDS));
}
