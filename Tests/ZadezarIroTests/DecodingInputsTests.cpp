#include "ZadezarIro/Core/DecodingInputs.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "DaroriCore/MultiArrayHelpers.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

using namespace zadezariro;
using mlruntime::DataType;
using mlruntime::Half;

namespace {
// Decoder inputs with S cache positions, E = 4, W = 3, every mask position preset to `fill`.
DecodingInputs makeInputs(std::int64_t S, double fill) {
    auto updateMask = darori::makeMultiArray({1, S}, DataType::Int32, std::int32_t(0));
    auto paddingMask = darori::makeMultiArray({1, S}, DataType::Float16, Half(0.0f));
    for (std::int64_t i = 0; i < S; ++i) {
        updateMask.setValue(i, fill);
        paddingMask.setValue(i, fill);
    }
    return DecodingInputs({50258}, darori::makeMultiArray({1}, DataType::Int32, std::int32_t(7)),
                          darori::makeMultiArray({1}, DataType::Int32, std::int32_t(9)),
                          darori::makeMultiArray({1, 4, 1, S}, DataType::Float16, Half(0.5f)),
                          darori::makeMultiArray({1, 4, 1, S}, DataType::Float16, Half(0.5f)),
                          darori::makeMultiArray({S, 3}, DataType::Float16, Half(0.25f)), updateMask, paddingMask);
}
}  // namespace

TEST(DecodingInputs, ResetTouchesOnlyTheFirstPositionsAndTheCacheLength) {
    auto inputs = makeInputs(448, 5);
    inputs.reset(224);
    EXPECT_EQ(inputs.cacheLength().value(0), 0);
    EXPECT_EQ(inputs.kvCacheUpdateMask().value(0), 1);
    EXPECT_EQ(inputs.decoderKeyPaddingMask().value(0), 0);
    for (std::int64_t i : {1, 100, 223}) {
        EXPECT_EQ(inputs.kvCacheUpdateMask().value(i), 0) << i;
        EXPECT_EQ(inputs.decoderKeyPaddingMask().value(i), -10000) << i;
    }
    for (std::int64_t i : {224, 447}) {
        EXPECT_EQ(inputs.kvCacheUpdateMask().value(i), 5) << i;
        EXPECT_EQ(inputs.decoderKeyPaddingMask().value(i), 5) << i;
    }
    // The rest of the state belongs to the previous window and stays.
    EXPECT_EQ(inputs.inputIds().value(0), 7);
    EXPECT_EQ(inputs.keyCache().value(0), 0.5);
    EXPECT_EQ(inputs.valueCache().value(1791), 0.5);
    EXPECT_EQ(inputs.alignmentWeights().value(5), 0.25);
    EXPECT_EQ(inputs.initialPrompt(), (std::vector<std::int64_t>{50258}));

    auto one = makeInputs(4, 5);
    one.reset(1);
    EXPECT_EQ(one.kvCacheUpdateMask().value(1), 5);
    EXPECT_EQ(one.decoderKeyPaddingMask().value(1), 5);
    one.reset(4);
    EXPECT_EQ(one.decoderKeyPaddingMask().value(3), -10000);
}

TEST(DecodingInputs, ResetOutsideTheMasksIsRefusedBeforeAnyWrite) {
    auto inputs = makeInputs(8, 5);
    for (std::int64_t n : {0, -1, 9, 448}) {
        try {
            inputs.reset(n);
            ADD_FAILURE() << n;
        } catch (const WhisperError& e) {
            EXPECT_EQ(e.kind(), WhisperError::Kind::prepareDecoderInputsFailed);
        }
    }
    EXPECT_EQ(inputs.cacheLength().value(0), 9);
    EXPECT_EQ(inputs.kvCacheUpdateMask().value(0), 5);
}

TEST(DecodingFallback, FirstRuleThatFiresDecides) {
    const auto defaults = DecodingOptions::make();
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        bool firstTokenTooLow;
        float noSpeech, ratio, logProb;
        std::optional<std::pair<bool, std::string>> expected;
    } cases[] = {
        {true, 0.9f, 9, -9, std::pair{true, "firstTokenLogProbThreshold"}},
        {false, 0.7f, 9, -9, std::pair{false, "silence"}},
        {false, 0.5f, inf, -0.3f, std::pair{true, "compressionRatioThreshold"}},
        {false, 0.5f, 1.8f, -1.2f, std::pair{true, "logProbThreshold"}},
        {false, 0.5f, 1.8f, -0.3f, std::nullopt},
        {false, 0.6f, 2.4f, -1.0f, std::nullopt},  // equal to every threshold: strict comparisons
        {false, nan, nan, nan, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto decision = DecodingFallback::decide(defaults, c.firstTokenTooLow, c.noSpeech, c.ratio, c.logProb);
        ASSERT_EQ(decision.has_value(), c.expected.has_value()) << c.noSpeech << " " << c.ratio << " " << c.logProb;
        if (decision) {
            EXPECT_EQ(decision->needsFallback, c.expected->first);
            EXPECT_EQ(decision->fallbackReason, c.expected->second);
        }
    }
    const auto off = DecodingOptions::make({.compressionRatioThreshold = std::nullopt, .logProbThreshold = std::nullopt,
                                            .noSpeechThreshold = std::nullopt});
    EXPECT_FALSE(DecodingFallback::decide(off, false, 1.0f, inf, -100.0f));
}

TEST(DecodingResult, EmptyResults) {
    const auto empty = DecodingResult::emptyResults();
    EXPECT_TRUE(empty.text.empty() && empty.tokens.empty() && empty.tokenLogProbs.empty() && empty.language.empty());
    EXPECT_TRUE(empty.languageProbs.empty());
    EXPECT_EQ(empty.avgLogProb + empty.noSpeechProb + empty.temperature + empty.compressionRatio, 0.0f);
    EXPECT_FALSE(empty.cache || empty.timings || empty.fallback);
}
