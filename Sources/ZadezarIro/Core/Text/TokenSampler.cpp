#include "ZadezarIro/Core/Text/TokenSampler.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

#include "DaroriCore/NumberText.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace zadezariro {

namespace {

float systemRandom() {
    thread_local std::mt19937 engine{std::random_device{}()};
    return std::uniform_real_distribution<float>(0.0f, 1.0f)(engine);
}

}  // namespace

GreedyTokenSampler::GreedyTokenSampler(mlruntime::Half t, std::int64_t eot, DecodingOptions options)
    : GreedyTokenSampler(t, eot, std::move(options), systemRandom) {}

GreedyTokenSampler::GreedyTokenSampler(mlruntime::Half t, std::int64_t eot, DecodingOptions options, RandomSource random)
    : temperature(t), eotToken(eot), decodingOptions(std::move(options)), random_(std::move(random)) {}

SamplingResult GreedyTokenSampler::update(const std::vector<std::int64_t>& tokens, const mlruntime::MultiArray& logits,
                                          const std::vector<float>& logProbs) {
    std::vector<float> values = logits.toFloats();
    if (values.empty()) throw WhisperError::decodingFailed("Token sampler received no logits");
    const float t = temperature.toFloat();
    const bool sampling = t != 0.0f;
    if (sampling) {
        // Scaling as 16-bit arithmetic does: the factor and each product rounded to half.
        const float factor = mlruntime::Half(1.0f / t).toFloat();
        for (float& v : values) v = mlruntime::Half(v * factor).toFloat();
    }
    const auto best = std::max_element(values.begin(), values.end());
    double sum = 0;
    for (float v : values) sum += std::exp(static_cast<double>(v) - static_cast<double>(*best));
    const double logNormaliser = static_cast<double>(*best) + std::log(sum);
    auto logProbability = [&](size_t index) { return static_cast<float>(static_cast<double>(values[index]) - logNormaliser); };

    size_t token = static_cast<size_t>(best - values.begin());
    if (sampling) {
        const std::int64_t k = decodingOptions.topK;
        if (k < 1 || k > static_cast<std::int64_t>(values.size()))
            throw WhisperError::decodingFailed("Top-k " + std::to_string(k) + " is outside 1..." + std::to_string(values.size()));
        std::vector<size_t> order(values.size());
        std::iota(order.begin(), order.end(), size_t{0});
        std::partial_sort(order.begin(), order.begin() + k, order.end(),
                          [&](size_t a, size_t b) { return values[a] > values[b] || (values[a] == values[b] && a < b); });
        std::vector<double> probabilities(static_cast<size_t>(k));
        double total = 0;
        for (std::int64_t i = 0; i < k; ++i) total += probabilities[i] = std::exp(static_cast<double>(logProbability(order[i])));
        const double threshold = static_cast<double>(random_()) * total;
        size_t chosen = 0;
        double running = 0;
        for (size_t i = 0; i < probabilities.size(); ++i) {
            running += probabilities[i];
            if (threshold < running) {
                chosen = i;
                break;
            }
        }
        token = order[chosen];
    }

    SamplingResult result{tokens, logProbs, false};
    result.tokens.push_back(static_cast<std::int64_t>(token));
    result.logProbs.push_back(logProbability(token));
    result.completed = static_cast<std::int64_t>(token) == eotToken;
    return result;
}

SamplingResult GreedyTokenSampler::finalize(const std::vector<std::int64_t>& tokens, const std::vector<float>& logProbs) {
    SamplingResult result{tokens, logProbs, true};
    if (tokens.empty() || tokens.back() != eotToken) {
        result.tokens.push_back(eotToken);
        result.logProbs.push_back(0.0f);
    }
    return result;
}

BeamSearchTokenSampler::BeamSearchTokenSampler(std::int64_t size, std::int64_t eot, float p)
    : beamSize(size), eotToken(eot), patience(p) {
    const float candidates = static_cast<float>(size) * p;
    maxCandidates_ = std::isfinite(candidates) && candidates >= 1.0f && candidates < 9.0e18f ? static_cast<std::int64_t>(candidates) : 0;
    if (maxCandidates_ < 1)
        throw WhisperError::decodingFailed("Invalid beam size " + std::to_string(size) + " or patience " +
                                           darori::floatDescription(p));
}

SamplingResult BeamSearchTokenSampler::update(const std::vector<std::int64_t>&, const mlruntime::MultiArray&,
                                              const std::vector<float>&) {
    throw WhisperError::decodingFailed("BeamSearchTokenSampler.update(tokens:logits:logProbs:) is not implemented");
}

SamplingResult BeamSearchTokenSampler::finalize(const std::vector<std::int64_t>&, const std::vector<float>&) {
    throw WhisperError::decodingFailed("BeamSearchTokenSampler.finalize(tokens:logProbs:) is not implemented");
}

}  // namespace zadezariro
