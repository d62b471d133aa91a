// Word timings of the segment seeker: alignment by dynamic time warping, duration limits,
// punctuation merges and the segments' times.
#include <gtest/gtest.h>

#include "DecodingTestSupport.hpp"
#include "ZadezarIro/Core/Constants.hpp"
#include "ZadezarIro/Core/Text/SegmentSeeker.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

using namespace zadezariro;
using namespace zadezariro::testsupport;

namespace {

WordTiming wordTiming(std::string text, float start, float end, std::vector<int64_t> tokens = {}, float probability = 0.9f) {
    return WordTiming{std::move(text), std::move(tokens), start, end, probability};
}

std::vector<std::string> texts(const std::vector<WordTiming>& words) {
    std::vector<std::string> out;
    for (const auto& w : words) out.push_back(w.word);
    return out;
}

mlruntime::MultiArray matrix(const std::vector<std::vector<float>>& rows) {
    mlruntime::MultiArray m({static_cast<int64_t>(rows.size()), static_cast<int64_t>(rows[0].size())}, mlruntime::DataType::Float16);
    for (size_t r = 0; r < rows.size(); ++r)
        for (size_t c = 0; c < rows[r].size(); ++c)
            m.setValue(static_cast<int64_t>(r * rows[0].size() + c), rows[r][c]);
    return m;
}

// One row per token, each peaking on two frames of its own, in order.
std::vector<std::vector<float>> staircase(size_t tokens) {
    std::vector<std::vector<float>> rows(tokens, std::vector<float>(2 * tokens, 0.0f));
    for (size_t r = 0; r < tokens; ++r) rows[r][2 * r] = rows[r][2 * r + 1] = 1.0f;
    return rows;
}

}  // namespace

TEST(WordTimestamps, DynamicTimeWarpingFollowsTheWeightsMonotonically) {
    SegmentSeeker seeker;
    auto path = seeker.dynamicTimeWarping(matrix(staircase(3)));
    EXPECT_EQ(path.textIndices, (std::vector<int64_t>{0, 0, 1, 1, 1, 2, 2, 2}));
    EXPECT_EQ(path.timeIndices, (std::vector<int64_t>{0, 1, 1, 2, 3, 3, 4, 5}));
    for (size_t k = 1; k < path.textIndices.size(); ++k) {
        EXPECT_LE(path.textIndices[k - 1], path.textIndices[k]);
        EXPECT_LE(path.timeIndices[k - 1], path.timeIndices[k]);
    }
    try {
        seeker.dynamicTimeWarping(mlruntime::MultiArray({6}, mlruntime::DataType::Float16));
        FAIL();
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.message(), "Invalid alignment matrix shape");
    }
}

TEST(WordTimestamps, FindAlignmentTimesEachWordFromItsTokens) {
    auto tokenizer = englishTokenizer();
    const auto hello = tokenizer->encode(" Hello"), world = tokenizer->encode(" world"), there = tokenizer->encode(" there");
    ASSERT_EQ(hello.size(), 1u);
    ASSERT_EQ(world.size(), 1u);
    const std::vector<int64_t> ids = {hello[0], world[0], there[0], tokenizer->specialTokens().endToken};
    SegmentSeeker seeker;
    auto words = seeker.findAlignment(ids, matrix(staircase(4)), {-0.1f, -0.2f, -0.3f, -0.4f}, *tokenizer);
    ASSERT_EQ(words.size(), 4u);
    EXPECT_EQ(texts(words), (std::vector<std::string>{" Hello", " world", " there", "<|endoftext|>"}));
    // Token starts 0, 0.02, 0.06, 0.10 and ends 0.02, 0.06, 0.10, 0.14 from the path's steps.
    EXPECT_FLOAT_EQ(words[1].start, 0.02f);
    EXPECT_FLOAT_EQ(words[1].end, 0.06f);
    EXPECT_FLOAT_EQ(words[3].end, 0.14f);
    EXPECT_NEAR(words[2].probability, std::exp(-0.3f), 1e-6);
    // One word has no alignment.
    EXPECT_TRUE(seeker.findAlignment({hello[0]}, matrix(staircase(1)), {-0.1f}, *tokenizer).empty());
}

TEST(WordTimestamps, DurationConstraintsAndSentenceBoundaries) {
    auto [median, max] = SegmentSeeker::calculateWordDurationConstraints(
        {wordTiming("a", 0, 0.2f), wordTiming("b", 1, 1.4f), wordTiming("c", 2, 2), wordTiming("d", 3, 4.2f)});
    EXPECT_FLOAT_EQ(median, 0.4f);
    EXPECT_FLOAT_EQ(max, 0.8f);
    auto [capped, cappedMax] = SegmentSeeker::calculateWordDurationConstraints({wordTiming("a", 0, 1.5f)});
    EXPECT_FLOAT_EQ(capped, 0.7f);
    EXPECT_FLOAT_EQ(cappedMax, 1.4f);

    auto cut = SegmentSeeker::truncateLongWordsAtSentenceBoundaries(
        {wordTiming(" Hi", 0, 0.3f), wordTiming(".", 1, 3), wordTiming("?", 3, 3.2f), wordTiming(" Then", 4, 6), wordTiming(",", 6, 6.1f), wordTiming(" so", 7, 9)}, 0.8f);
    EXPECT_FLOAT_EQ(cut[1].end, 1.8f);    // a long sentence end ends at start + max
    EXPECT_FLOAT_EQ(cut[3].start, 5.2f);  // a long word after a sentence end starts at end - max
    EXPECT_FLOAT_EQ(cut[5].start, 7.0f);  // after a comma it keeps its times
    EXPECT_FLOAT_EQ(cut[5].end, 9.0f);
}

TEST(WordTimestamps, PunctuationJoinsNeighbouringWordsWithoutLosingAny) {
    const std::string prepended(Constants::defaultPrependPunctuations), appended(Constants::defaultAppendPunctuations);
    struct Case {
        const char* name;
        std::vector<WordTiming> words;
        std::vector<std::string> merged;
    };
    const Case cases[] = {
        {"opening parenthesis", {wordTiming(" (", 0, 1, {1}), wordTiming(" Hello", 1, 2, {2})}, {" ( Hello"}},
        {"comma", {wordTiming(" Hello", 1, 2, {2}), wordTiming(",", 2, 3, {3})}, {" Hello,"}},
        {"leading comma dropped", {wordTiming(",", 0, 1, {3}), wordTiming(" Hi", 1, 2, {2})}, {" Hi"}},
        {"two closing marks", {wordTiming("Hi", 0, 1, {2}), wordTiming(",", 1, 2, {3}), wordTiming(".", 2, 3, {4})}, {"Hi,."}},
        {"two opening marks", {wordTiming(" (", 0, 1, {1}), wordTiming(" \"", 1, 2, {5}), wordTiming(" Hi", 2, 3, {2})}, {" ( \" Hi"}},
        {"plain words", {wordTiming(" a", 0, 1, {1}), wordTiming(" b", 1, 2, {2})}, {" a", " b"}},
        // Only a mark that begins with a space opens the next word, the first word too.
        {"opening mark without its space", {wordTiming("(", 0, 1, {1}), wordTiming("Hello", 1, 2, {2})}, {"Hello"}},
        {"later mark without its space", {wordTiming(" Hi", 0, 1, {2}), wordTiming("(", 1, 2, {1}), wordTiming(" there", 2, 3, {3})}, {" Hi", " there"}},
        {"spaceless mark before a run", {wordTiming("(", 0, 1, {1}), wordTiming(" \"", 1, 2, {5}), wordTiming(" Hi", 2, 3, {2})}, {" \" Hi"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(texts(SegmentSeeker::mergePunctuations(c.words, prepended, appended)), c.merged);
    }
    auto opened = SegmentSeeker::mergePunctuations({wordTiming(" (", 0, 1, {1}), wordTiming(" Hello", 1, 2, {2})}, prepended, appended);
    EXPECT_EQ(opened[0].tokens, (std::vector<int64_t>{1, 2}));
    EXPECT_FLOAT_EQ(opened[0].start, 1.0f);
    auto closed = SegmentSeeker::mergePunctuations({wordTiming("Hi", 0, 1, {2}), wordTiming(",", 1, 2, {3}), wordTiming(".", 2, 3, {4})}, prepended, appended);
    EXPECT_EQ(closed[0].tokens, (std::vector<int64_t>{2, 3, 4}));
    EXPECT_FLOAT_EQ(closed[0].end, 1.0f);
}

TEST(WordTimestamps, SegmentsTakeTheirWordsTimes) {
    auto tokenizer = englishTokenizer();
    const int64_t END = tokenizer->specialTokens().endToken;
    {
        SCOPED_TRACE("a long first word after a pause is cut to the maximum");
        TranscriptionSegment segment;
        segment.tokens = {100, END};
        segment.start = 2.0f;
        segment.end = 9.0f;
        auto out = SegmentSeeker::updateSegmentsWithWordTimings({segment}, {wordTiming("x", 5.0f, 8.0f, {100})}, 16'000, 4.0f, 0.7f, 1.4f,
                                                                *tokenizer);
        ASSERT_EQ(out[0].words->size(), 1u);
        EXPECT_FLOAT_EQ((*out[0].words)[0].start, 9.0f - 1.4f);
        EXPECT_FLOAT_EQ((*out[0].words)[0].end, 9.0f);
        EXPECT_FLOAT_EQ(out[0].start, 9.0f - 1.4f);
    }
    {
        SCOPED_TRACE("a first word that starts well before the segment keeps the segment's start");
        TranscriptionSegment segment;
        segment.tokens = {100, 101};
        segment.start = 2.0f;
        segment.end = 3.0f;
        auto out = SegmentSeeker::updateSegmentsWithWordTimings(
            {segment}, {wordTiming("x", 1.2f, 2.4f, {100}), wordTiming("y", 2.4f, 3.0f, {101})}, 0, 2.0f, 0.4f, 0.8f, *tokenizer);
        EXPECT_FLOAT_EQ(out[0].start, 2.0f);
        EXPECT_FLOAT_EQ((*out[0].words)[0].start, 2.0f);
    }
}

TEST(WordTimestamps, AddWordTimestampsReadsTheRowsOfTheWindowsOwnTokens) {
    auto tokenizer = englishTokenizer();
    const auto& special = tokenizer->specialTokens();
    const int64_t T0 = special.timeTokenBegin;
    const auto hello = tokenizer->encode(" Hello")[0], world = tokenizer->encode(" world")[0], there = tokenizer->encode(" there")[0];
    TranscriptionSegment segment;
    segment.tokens = {special.startOfTranscriptToken, T0, hello, world, there, T0 + 10, special.endToken};
    for (auto t : segment.tokens) segment.tokenLogProbs.push_back({{t, -0.1f}});
    segment.start = 0.0f;
    segment.end = 0.2f;
    const auto window = staircase(segment.tokens.size());
    // The same weights after three prompt rows that point all over the window.
    auto prompted = window;
    prompted.insert(prompted.begin(), 3, std::vector<float>(window[0].size(), 0.0f));
    for (size_t r = 0; r < 3; ++r) prompted[r][window[0].size() - 1 - r] = 5.0f;

    SegmentSeeker seeker;
    const std::string pre(Constants::defaultPrependPunctuations), app(Constants::defaultAppendPunctuations);
    auto plain = seeker.addWordTimestamps({segment}, matrix(window), *tokenizer, 0, 480'000, pre, app, 0, DecodingOptions::make(), {});
    auto afterPrompt = seeker.addWordTimestamps({segment}, matrix(prompted), *tokenizer, 0, 480'000, pre, app, 0, DecodingOptions::make(), {}, 3);
    ASSERT_TRUE(plain[0].words);
    EXPECT_EQ(texts(*plain[0].words), (std::vector<std::string>{" Hello", " world", " there"}));
    EXPECT_EQ(afterPrompt, plain);
    EXPECT_FLOAT_EQ((*plain[0].words)[0].start, 0.06f);

    try {
        seeker.addWordTimestamps({segment}, mlruntime::MultiArray(), *tokenizer, 0, 480'000, pre, app, 0, DecodingOptions::make(), {});
        FAIL();
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.message(), "Invalid shape in alignmentWeights");
    }
}

TEST(WordTimestamps, ASingleWordGivesEmptyWordListsAndUnchangedTimes) {
    auto tokenizer = englishTokenizer();
    TranscriptionSegment segment;
    segment.tokens = {tokenizer->encode(" Hello")[0]};
    segment.tokenLogProbs = {{{segment.tokens[0], -0.1f}}};
    segment.start = 1.0f;
    segment.end = 2.0f;
    SegmentSeeker seeker;
    auto out = seeker.addWordTimestamps({segment}, matrix(staircase(1)), *tokenizer, 0, 480'000, "", "", 0, DecodingOptions::make(), {});
    ASSERT_TRUE(out[0].words);
    EXPECT_TRUE(out[0].words->empty());
    EXPECT_FLOAT_EQ(out[0].start, 1.0f);
    EXPECT_FLOAT_EQ(out[0].end, 2.0f);
}
