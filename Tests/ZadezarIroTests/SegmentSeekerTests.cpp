#include "ZadezarIro/Core/Text/SegmentSeeker.hpp"

#include <gtest/gtest.h>

#include "DecodingTestSupport.hpp"

using namespace zadezariro;
using namespace zadezariro::testsupport;

namespace {

constexpr int64_t WINDOW = 480'000;
constexpr int64_t RATE = 16'000;

struct Seeker : ::testing::Test {
    std::shared_ptr<const WhisperTokenizer> tokenizer = englishTokenizer();
    int64_t T0 = tokenizer->specialTokens().timeTokenBegin;
    int64_t END = tokenizer->specialTokens().endToken;
    int64_t a = 100, b = 101, c = 102, d = 103;
    SegmentSeeker seeker;

    DecodingResult result(std::vector<int64_t> tokens) {
        DecodingResult r;
        r.tokens = std::move(tokens);
        for (auto t : r.tokens) r.tokenLogProbs.push_back({{t, -0.25f}});
        r.avgLogProb = -0.25f;
        r.temperature = 0.2f;
        r.compressionRatio = 1.5f;
        return r;
    }
    auto seek(const DecodingResult& r, int64_t currentSeek = 0, int64_t count = 0,
              DecodingOptions options = DecodingOptions::make()) {
        return seeker.findSeekPointAndSegments(r, options, count, currentSeek, WINDOW, RATE, T0, tokenizer->specialTokens().specialTokenBegin,
                                               *tokenizer);
    }
};

}  // namespace

TEST_F(Seeker, PairedTimestampsCutSegmentsAndTheLastPairSetsTheSeekPoint) {
    const int64_t T1 = T0 + 50, T2 = T0 + 125;
    auto [seekPoint, segments] = seek(result({T0, a, b, T1, T1, c, d, T2, T2, END}), 32'000, 7);
    ASSERT_TRUE(segments);
    ASSERT_EQ(segments->size(), 2u);
    const auto& first = (*segments)[0];
    const auto& second = (*segments)[1];
    EXPECT_EQ(first.tokens, (std::vector<int64_t>{T0, a, b, T1}));
    EXPECT_EQ(second.tokens, (std::vector<int64_t>{T1, c, d, T2}));
    EXPECT_FLOAT_EQ(first.start, 2.0f);
    EXPECT_FLOAT_EQ(first.end, 3.0f);
    EXPECT_FLOAT_EQ(second.start, 3.0f);
    EXPECT_FLOAT_EQ(second.end, 4.5f);
    EXPECT_EQ(first.id, 7);
    EXPECT_EQ(second.id, 8);
    EXPECT_EQ(second.seek, 32'000);
    EXPECT_EQ(second.tokenLogProbs.size(), 4u);
    EXPECT_EQ(second.text, tokenizer->decode({static_cast<int>(T1), 102, 103, static_cast<int>(T2)}));
    EXPECT_FLOAT_EQ(second.temperature, 0.2f);
    EXPECT_EQ(seekPoint, 32'000 + 125 * 320);
}

TEST_F(Seeker, EndingsWithoutAClosingPair) {
    const int64_t T1 = T0 + 50, T2 = T0 + 75;
    {
        SCOPED_TRACE("single timestamp ending");
        auto [seekPoint, segments] = seek(result({T0, a, T1, T1, c, T2, END}));
        ASSERT_EQ(segments->size(), 2u);
        EXPECT_EQ(segments->back().tokens, (std::vector<int64_t>{T1, c, T2}));
        EXPECT_FLOAT_EQ(segments->back().start, 1.0f);
        EXPECT_FLOAT_EQ(segments->back().end, 1.5f);
        EXPECT_EQ(seekPoint, 75 * 320);
    }
    {
        SCOPED_TRACE("no timestamp ending");
        auto [seekPoint, segments] = seek(result({T0, a, T1, T1, c, d, END}));
        ASSERT_EQ(segments->size(), 2u);
        EXPECT_EQ(segments->back().tokens, (std::vector<int64_t>{T1, c, d, END}));
        EXPECT_FLOAT_EQ(segments->back().start, 1.0f);
        EXPECT_FLOAT_EQ(segments->back().end, 1.0f);
        EXPECT_EQ(seekPoint, WINDOW);
    }
}

TEST_F(Seeker, NoPairOfTimestampsMakesOneSegmentAndAdvancesAFullWindow) {
    const int64_t T3 = T0 + 150;
    auto [seekPoint, segments] = seek(result({T0, a, b, T3, END}), 16'000, 4);
    ASSERT_EQ(segments->size(), 1u);
    EXPECT_FLOAT_EQ(segments->front().start, 1.0f);
    EXPECT_FLOAT_EQ(segments->front().end, 4.0f);
    EXPECT_EQ(segments->front().id, 4);
    EXPECT_EQ(seekPoint, 16'000 + WINDOW);

    auto [plainSeek, plain] = seek(result({a, b, END}));
    EXPECT_FLOAT_EQ(plain->front().end, 30.0f);
    EXPECT_EQ(plainSeek, WINDOW);
}

TEST_F(Seeker, SilenceSkipsTheWindowUnlessTheTextIsConfident) {
    auto silent = result({T0, a, T0 + 10, END});
    silent.noSpeechProb = 0.9f;
    silent.avgLogProb = -2.0f;
    auto [seekPoint, segments] = seek(silent, 1000);
    EXPECT_EQ(seekPoint, 1000 + WINDOW);
    EXPECT_FALSE(segments);
    silent.avgLogProb = -0.5f;
    EXPECT_TRUE(seek(silent, 1000).second);
}

TEST_F(Seeker, TheSeekPointAlwaysMovesForward) {
    // A closing pair at the window's own start would leave the seek point where it is: the window
    // moves by its own length instead, so transcription cannot loop.
    auto [seekPoint, segments] = seek(result({T0, a, T0, T0, END}), 64'000);
    ASSERT_TRUE(segments);
    EXPECT_EQ(seekPoint, 64'000 + WINDOW);
}
