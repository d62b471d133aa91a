// The logits filters: each rules tokens out of one decoder step by setting their logits to
// half-precision minus infinity, in place. Logits are [1, 1, V] Float16 arrays; token lists hold the
// window's tokens so far, prompt included.
//
// Filters hold only what they were built with; filterLogits writes into the array it is given, so
// one filter may serve several windows at once as long as each has its own logits.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_set>
#include <vector>

#include "MLRuntime/MultiArray.hpp"
#include "ZadezarIro/Core/WhisperTokenizer.hpp"

namespace zadezariro {

class LogitsFiltering {
public:
    virtual ~LogitsFiltering() = default;
    // Filters `logits` in place and returns the same array.
    virtual mlruntime::MultiArray filterLogits(mlruntime::MultiArray logits, const std::vector<std::int64_t>& tokens) = 0;
};

// Suppresses a fixed list of ids at every step. Ids outside the vocabulary (negative ones
// included) have no effect; a negative id logs one debug line at construction.
class SuppressTokensFilter : public LogitsFiltering {
public:
    explicit SuppressTokensFilter(std::vector<std::int64_t> suppressTokens);
    mlruntime::MultiArray filterLogits(mlruntime::MultiArray logits, const std::vector<std::int64_t>& tokens) override;

    const std::vector<std::int64_t> suppressTokens;
    const std::vector<std::vector<std::int64_t>> suppressTokenIndexes;
};

// At the first sampled position only (the token list holds exactly sampleBegin tokens), suppresses
// the blank and the end token, so a window never starts empty.
class SuppressBlankFilter : public LogitsFiltering {
public:
    SuppressBlankFilter(SpecialTokens specialTokens, std::int64_t sampleBegin);
    mlruntime::MultiArray filterLogits(mlruntime::MultiArray logits, const std::vector<std::int64_t>& tokens) override;

    const SpecialTokens specialTokens;
    const std::int64_t sampleBegin;
    const std::vector<std::vector<std::int64_t>> suppressTokenIndexes;
};

// Keeps timestamp tokens well-formed: no "no timestamps" token, timestamps in pairs and never going
// back, and a timestamp forced when the timestamps together are more probable than any text token.
// maxInitialTimestampIndex is kept for reference and takes part in no rule.
class TimestampRulesFilter : public LogitsFiltering {
public:
    TimestampRulesFilter(SpecialTokens specialTokens, std::int64_t sampleBegin,
                         std::optional<std::int64_t> maxInitialTimestampIndex, bool isModelMultilingual);
    mlruntime::MultiArray filterLogits(mlruntime::MultiArray logits, const std::vector<std::int64_t>& tokens) override;

    const SpecialTokens specialTokens;
    const std::int64_t sampleBegin;
    const std::optional<std::int64_t> maxInitialTimestampIndex;
    const bool isModelMultilingual;

private:
    // The position of the first sampled token; absent for a multilingual model with no task token
    // among the three tokens from the start of transcript on (the first three without one).
    std::optional<std::int64_t> effectiveSampleBegin(const std::vector<std::int64_t>& tokens) const;
    // True when log(sum of the timestamps' probabilities) beats the best text token's log-probability.
    static bool sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(const mlruntime::MultiArray& logits,
                                                                   std::int64_t timeTokenBegin);
};

// Once the token list reaches sampleBegin, leaves only language tokens possible.
class LanguageLogitsFilter : public LogitsFiltering {
public:
    LanguageLogitsFilter(std::unordered_set<int> allLanguageTokens, std::int64_t logitsDim, std::int64_t sampleBegin);
    mlruntime::MultiArray filterLogits(mlruntime::MultiArray logits, const std::vector<std::int64_t>& tokens) override;

    const std::unordered_set<int> allLanguageTokens;
    const std::int64_t logitsDim;
    const std::int64_t sampleBegin;
    const std::vector<std::vector<std::int64_t>> nonLanguageTokenIndexes;
};

}  // namespace zadezariro
