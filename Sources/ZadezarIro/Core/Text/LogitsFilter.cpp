#include "ZadezarIro/Core/Text/LogitsFilter.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "DaroriCore/Logging.hpp"
#include "DaroriCore/MultiArrayHelpers.hpp"
#include "MLRuntime/Half.hpp"

namespace zadezariro {

namespace {

constexpr mlruntime::Half MINUS_INFINITY = mlruntime::Half::negativeInfinity();

std::vector<std::vector<std::int64_t>> indexTriples(const std::vector<std::int64_t>& ids) {
    std::vector<std::vector<std::int64_t>> indexes;
    indexes.reserve(ids.size());
    for (auto id : ids) indexes.push_back({0, 0, id});
    return indexes;
}

// Sets ids lower ..< upper to minus infinity, clamped to the vocabulary.
void suppressRange(mlruntime::MultiArray& logits, std::int64_t lower, std::int64_t upper) {
    const std::int64_t size = logits.shape().back();
    lower = std::clamp<std::int64_t>(lower, 0, size);
    upper = std::clamp<std::int64_t>(upper, lower, size);
    darori::fillLastDimension(logits, lower, upper, MINUS_INFINITY);
}

}  // namespace

SuppressTokensFilter::SuppressTokensFilter(std::vector<std::int64_t> tokens)
    : suppressTokens(std::move(tokens)), suppressTokenIndexes(indexTriples(suppressTokens)) {
    if (std::any_of(suppressTokens.begin(), suppressTokens.end(), [](std::int64_t id) { return id < 0; }))
        darori::Logging::debug(
            "SuppressTokensFilter: ignoring negative ids in suppressTokens; the -1 sentinel (suppress default "
            "non-speech tokens) is not supported");
}

mlruntime::MultiArray SuppressTokensFilter::filterLogits(mlruntime::MultiArray logits, const std::vector<std::int64_t>&) {
    darori::fill(logits, suppressTokenIndexes, MINUS_INFINITY);
    return logits;
}

SuppressBlankFilter::SuppressBlankFilter(SpecialTokens tokens, std::int64_t begin)
    : specialTokens(tokens),
      sampleBegin(begin),
      suppressTokenIndexes{{0, 0, tokens.whitespaceToken}, {0, 0, tokens.endToken}} {}

mlruntime::MultiArray SuppressBlankFilter::filterLogits(mlruntime::MultiArray logits, const std::vector<std::int64_t>& tokens) {
    if (static_cast<std::int64_t>(tokens.size()) == sampleBegin) darori::fill(logits, suppressTokenIndexes, MINUS_INFINITY);
    return logits;
}

TimestampRulesFilter::TimestampRulesFilter(SpecialTokens tokens, std::int64_t begin,
                                           std::optional<std::int64_t> maxInitialIndex, bool multilingual)
    : specialTokens(tokens), sampleBegin(begin), maxInitialTimestampIndex(maxInitialIndex), isModelMultilingual(multilingual) {}

std::optional<std::int64_t> TimestampRulesFilter::effectiveSampleBegin(const std::vector<std::int64_t>& tokens) const {
    if (!isModelMultilingual) return sampleBegin;
    // The task token is among the three tokens from the start of transcript on; a prompt of
    // previous text may stand in front of them.
    const auto transcriptStart = std::find(tokens.begin(), tokens.end(), specialTokens.startOfTranscriptToken);
    const size_t from = transcriptStart == tokens.end() ? 0 : static_cast<size_t>(transcriptStart - tokens.begin());
    const size_t head = std::min<size_t>(from + 3, tokens.size());
    for (size_t i = from; i < head; ++i)
        if (tokens[i] == specialTokens.transcribeToken || tokens[i] == specialTokens.translateToken)
            return std::max<std::int64_t>(static_cast<std::int64_t>(i) + 1, sampleBegin);
    return std::nullopt;
}

mlruntime::MultiArray TimestampRulesFilter::filterLogits(mlruntime::MultiArray logits, const std::vector<std::int64_t>& tokens) {
    const auto begin = effectiveSampleBegin(tokens);
    if (!begin) return logits;
    const auto count = static_cast<std::int64_t>(tokens.size());
    if (count < *begin) return logits;
    const std::int64_t timeBegin = specialTokens.timeTokenBegin;
    darori::fill(logits, {{0, 0, specialTokens.noTimestampsToken}}, MINUS_INFINITY);

    if (count > *begin) {
        const std::vector<std::int64_t> sampled(tokens.begin() + *begin, tokens.end());
        const bool lastWasTimestamp = sampled.back() >= timeBegin;
        const bool penultimateWasTimestamp = sampled.size() < 2 || sampled[sampled.size() - 2] >= timeBegin;
        const bool closesSegment = lastWasTimestamp && !penultimateWasTimestamp;
        if (lastWasTimestamp) {
            if (penultimateWasTimestamp)
                suppressRange(logits, timeBegin, logits.count());  // a pair is complete: text must follow
            else
                suppressRange(logits, 0, specialTokens.endToken);  // a segment just closed: no text
        }
        std::optional<std::int64_t> lastTimestamp;
        for (auto token : sampled)
            if (token >= timeBegin) lastTimestamp = token;
        if (lastTimestamp) suppressRange(logits, timeBegin, closesSegment ? *lastTimestamp : *lastTimestamp + 1);
    }

    if (sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(logits, timeBegin)) suppressRange(logits, 0, timeBegin);
    return logits;
}

bool TimestampRulesFilter::sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(const mlruntime::MultiArray& logits,
                                                                             std::int64_t timeTokenBegin) {
    const std::int64_t size = logits.count();
    if (timeTokenBegin <= 0 || timeTokenBegin >= size) {
        darori::Logging::error("Cannot create `logSumExpInputDescriptor`");
        return false;
    }
    std::vector<float> values;
    try {
        values = logits.toFloats();
    } catch (const std::exception& error) {
        darori::Logging::error("TimestampRulesFilter error: ", error.what());
        return false;
    }
    // Both sides share the log-softmax normaliser, so comparing log-sum-exp of the timestamps with
    // the best text logit decides the same as comparing log-probabilities.
    const float textMax = *std::max_element(values.begin(), values.begin() + timeTokenBegin);
    const float timeMax = *std::max_element(values.begin() + timeTokenBegin, values.end());
    if (timeMax == -std::numeric_limits<float>::infinity()) return false;
    if (textMax == -std::numeric_limits<float>::infinity()) return true;
    double sum = 0;
    for (auto it = values.begin() + timeTokenBegin; it != values.end(); ++it) sum += std::exp(static_cast<double>(*it - timeMax));
    const double timestampLogSum = static_cast<double>(timeMax) + std::log(sum);
    return timestampLogSum > static_cast<double>(textMax);
}

LanguageLogitsFilter::LanguageLogitsFilter(std::unordered_set<int> languageTokens, std::int64_t dim, std::int64_t begin)
    : allLanguageTokens(std::move(languageTokens)), logitsDim(dim), sampleBegin(begin), nonLanguageTokenIndexes([&] {
          std::vector<std::vector<std::int64_t>> indexes;
          for (std::int64_t i = 0; i < dim; ++i)
              if (!allLanguageTokens.contains(static_cast<int>(i))) indexes.push_back({0, 0, i});
          return indexes;
      }()) {}

mlruntime::MultiArray LanguageLogitsFilter::filterLogits(mlruntime::MultiArray logits, const std::vector<std::int64_t>& tokens) {
    if (static_cast<std::int64_t>(tokens.size()) >= sampleBegin) darori::fill(logits, nonLanguageTokenIndexes, MINUS_INFINITY);
    return logits;
}

}  // namespace zadezariro
