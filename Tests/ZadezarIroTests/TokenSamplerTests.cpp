#include "ZadezarIro/Core/Text/TokenSampler.hpp"

#include <cmath>

#include <gtest/gtest.h>

#include "DecodingTestSupport.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

using namespace zadezariro;
using namespace zadezariro::testsupport;
using mlruntime::Half;

namespace {

constexpr int64_t EOT = 7;

DecodingOptions withTopK(int64_t k) {
    auto options = DecodingOptions::make();
    options.topK = k;
    return options;
}

double logSoftmax(const std::vector<float>& values, size_t index, float scale = 1.0f) {
    double sum = 0;
    for (float v : values) sum += std::exp(static_cast<double>(v * scale));
    return static_cast<double>(values[index] * scale) - std::log(sum);
}

}  // namespace

TEST(GreedyTokenSampler, TemperatureZeroPicksTheLargestLogitWithItsLogProbability) {
    const std::vector<float> values = {0.5f, 3.0f, -1.0f, 2.0f, 0.0f, 1.0f, 0.25f, 2.5f};
    GreedyTokenSampler sampler(Half(0.0f), EOT, withTopK(5), [] { return 0.99f; });
    auto result = sampler.update({1, 2}, halfLogits(values), {0.0f, -0.5f});
    EXPECT_EQ(result.tokens, (std::vector<int64_t>{1, 2, 1}));
    ASSERT_EQ(result.logProbs.size(), 3u);
    EXPECT_EQ(result.logProbs[1], -0.5f);
    EXPECT_NEAR(result.logProbs[2], logSoftmax(values, 1), 1e-5);
    EXPECT_FALSE(result.completed);
}

TEST(GreedyTokenSampler, TopKAtATemperatureDrawsByCumulativeProbability) {
    // At temperature 1, token probabilities p(1) > p(7) > p(3) are the three best. The draw r
    // times their sum picks the first whose running sum passes it.
    const std::vector<float> values = {0.5f, 3.0f, -1.0f, 2.0f, 0.0f, 1.0f, 0.25f, 2.5f};
    const double p1 = std::exp(logSoftmax(values, 1)), p7 = std::exp(logSoftmax(values, 7)), p3 = std::exp(logSoftmax(values, 3));
    const double total = p1 + p7 + p3;
    struct Case {
        float draw;
        int64_t token;
    };
    for (const Case c : {Case{0.0f, 1}, Case{static_cast<float>((p1 + 0.5 * p7) / total), 7},
                         Case{static_cast<float>((p1 + p7 + 0.5 * p3) / total), 3}, Case{0.999f, 3}}) {
        SCOPED_TRACE(c.draw);
        GreedyTokenSampler sampler(Half(1.0f), EOT, withTopK(3), [&] { return c.draw; });
        auto result = sampler.update({}, halfLogits(values), {});
        EXPECT_EQ(result.tokens.back(), c.token);
        EXPECT_NEAR(result.logProbs.back(), logSoftmax(values, static_cast<size_t>(c.token)), 1e-5);
        EXPECT_EQ(result.completed, c.token == EOT);
    }
    // A temperature of 0.5 doubles the logits before the softmax: the log-probability is that of
    // the scaled distribution. topK 1 always gives the best token.
    GreedyTokenSampler sharp(Half(0.5f), EOT, withTopK(1), [] { return 0.999f; });
    auto result = sharp.update({}, halfLogits(values), {});
    EXPECT_EQ(result.tokens.back(), 1);
    EXPECT_NEAR(result.logProbs.back(), logSoftmax(values, 1, 2.0f), 1e-4);
}

TEST(GreedyTokenSampler, EndTokenCompletesAndATopKOutsideTheVocabularyIsRefused) {
    std::vector<float> values(8, 0.0f);
    values[EOT] = 4.0f;
    GreedyTokenSampler greedy(Half(0.0f), EOT, withTopK(5));
    EXPECT_TRUE(greedy.update({}, halfLogits(values), {}).completed);
    for (int64_t k : {0, -1, 9}) {
        GreedyTokenSampler sampler(Half(0.7f), EOT, withTopK(k));
        EXPECT_THROW(sampler.update({}, halfLogits(values), {}), WhisperError) << k;
    }
}

TEST(GreedyTokenSampler, FinalizeEndsTheListsWithTheEndTokenOnce) {
    GreedyTokenSampler sampler(Half(0.0f), EOT, withTopK(5));
    auto added = sampler.finalize({3, 4}, {-0.1f, -0.2f});
    EXPECT_EQ(added.tokens, (std::vector<int64_t>{3, 4, EOT}));
    EXPECT_EQ(added.logProbs, (std::vector<float>{-0.1f, -0.2f, 0.0f}));
    EXPECT_TRUE(added.completed);
    auto kept = sampler.finalize({3, EOT}, {-0.1f, -0.2f});
    EXPECT_EQ(kept.tokens, (std::vector<int64_t>{3, EOT}));
    EXPECT_EQ(kept.logProbs, (std::vector<float>{-0.1f, -0.2f}));
    auto empty = sampler.finalize({}, {});
    EXPECT_EQ(empty.tokens, (std::vector<int64_t>{EOT}));
    EXPECT_EQ(empty.logProbs, (std::vector<float>{0.0f}));
}

TEST(BeamSearchTokenSampler, ChecksItsCandidateCountAndIsNotBuilt) {
    BeamSearchTokenSampler sampler(5, EOT, 1.0f);
    EXPECT_EQ(sampler.maxCandidates(), 5);
    try {
        BeamSearchTokenSampler refused(5, EOT, 0.1f);
        FAIL() << "accepted patience 0.1";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.message(), "Invalid beam size 5 or patience 0.1");
    }
    EXPECT_THROW(sampler.update({}, halfLogits({1.0f}), {}), WhisperError);
}
