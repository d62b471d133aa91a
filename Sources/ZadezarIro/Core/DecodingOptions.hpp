// How one transcription is decoded: task, language, temperature fallback, window length, prompt and
// suppressed tokens, timestamp rules, quality thresholds, concurrency and chunking. A plain value,
// copied freely, with JSON coding.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ZadezarIro/Core/Constants.hpp"
#include "ZadezarIro/Core/JSONCoding.hpp"

namespace zadezariro {

enum class DecodingTask { transcribe, translate };
inline constexpr std::array<DecodingTask, 2> allDecodingTasks{DecodingTask::transcribe, DecodingTask::translate};
// "transcribe", "translate".
std::string_view description(DecodingTask task);
// {"transcribe":{}} or {"translate":{}}.
Json toJSON(DecodingTask task);
// The one key of the object that is a case name (other keys are ignored) with an object value.
// Throws DecodingError(typeMismatch, "Invalid number of keys found, expected one.") when no key or
// both case names are present, and DecodingError for a value that is not an object.
DecodingTask decodingTaskFromJSON(const Json& j, const std::string& path = "");

enum class ChunkingStrategy { none, vad };
inline constexpr std::array<ChunkingStrategy, 2> allChunkingStrategies{ChunkingStrategy::none, ChunkingStrategy::vad};
// "none", "vad".
std::string_view rawValue(ChunkingStrategy strategy);
// The case with that raw value (case-sensitive), absent for any other text.
std::optional<ChunkingStrategy> chunkingStrategy(std::string_view rawValue);

struct DecodingOptions {
    bool verbose = false;
    DecodingTask task = DecodingTask::transcribe;
    std::optional<std::string> language;
    float temperature = 0.0f;
    float temperatureIncrementOnFallback = 0.2f;
    std::int64_t temperatureFallbackCount = 5;
    std::int64_t sampleLength = Constants::maxTokenContext;
    std::int64_t topK = 5;
    bool usePrefillPrompt = true;
    bool detectLanguage = false;  // the initializer's default is !usePrefillPrompt
    bool skipSpecialTokens = false;
    bool withoutTimestamps = false;
    bool wordTimestamps = false;
    std::optional<float> maxInitialTimestamp;
    std::optional<std::int64_t> maxWindowSeek;
    std::vector<float> clipTimestamps;  // seconds: start, end, start, end, ...
    float windowClipTime = 1.0f;
    std::optional<std::vector<std::int64_t>> promptTokens;
    std::optional<std::vector<std::int64_t>> prefixTokens;
    bool suppressBlank = false;
    std::vector<std::int64_t> suppressTokens;
    std::optional<float> compressionRatioThreshold = 2.4f;
    std::optional<float> logProbThreshold = -1.0f;
    std::optional<float> firstTokenLogProbThreshold = -1.5f;
    std::optional<float> noSpeechThreshold = 0.6f;
    std::int64_t concurrentWorkerCount = 16;
    std::optional<ChunkingStrategy> chunkingStrategy;

    // The arguments of the labelled initializer, each with its default. Three of them are optional
    // although their fields are not: see make().
    struct Arguments {
        bool verbose = false;
        DecodingTask task = DecodingTask::transcribe;
        std::optional<std::string> language;
        float temperature = 0.0f;
        float temperatureIncrementOnFallback = 0.2f;
        std::int64_t temperatureFallbackCount = 5;
        std::int64_t sampleLength = Constants::maxTokenContext;
        std::int64_t topK = 5;
        bool usePrefillPrompt = true;
        std::optional<bool> detectLanguage;
        bool skipSpecialTokens = false;
        bool withoutTimestamps = false;
        bool wordTimestamps = false;
        std::optional<float> maxInitialTimestamp;
        std::optional<std::int64_t> maxWindowSeek;
        std::vector<float> clipTimestamps;
        float windowClipTime = 1.0f;
        std::optional<std::vector<std::int64_t>> promptTokens;
        std::optional<std::vector<std::int64_t>> prefixTokens;
        bool suppressBlank = false;
        std::optional<std::vector<std::int64_t>> suppressTokens;
        std::optional<float> compressionRatioThreshold = 2.4f;
        std::optional<float> logProbThreshold = -1.0f;
        std::optional<float> firstTokenLogProbThreshold = -1.5f;
        std::optional<float> noSpeechThreshold = 0.6f;
        std::optional<std::int64_t> concurrentWorkerCount;
        std::optional<ChunkingStrategy> chunkingStrategy;
    };

    // Stores every argument unchanged (nothing is validated), except: an absent detectLanguage
    // becomes !usePrefillPrompt, absent suppressTokens become empty, an absent
    // concurrentWorkerCount becomes 16. Never fails. Use with designated initializers:
    // DecodingOptions::make({.usePrefillPrompt = false}).
    static DecodingOptions make(const Arguments& arguments);
    static DecodingOptions make() { return make(Arguments{}); }

    // One key per field, named as the field, in field order; optional fields only when present.
    // Throws EncodingError for a non-finite float.
    Json toJSON() const;
    // Every non-optional key is required (detectLanguage, suppressTokens and concurrentWorkerCount
    // included, stored as read); optional ones may be missing or null. Throws DecodingError.
    static DecodingOptions fromJSON(const Json& j);

    bool operator==(const DecodingOptions&) const = default;
};

}  // namespace zadezariro
