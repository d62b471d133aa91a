// Records that the stages of a transcription share: the run's time and count measures with their
// timing report, the progress handed to callbacks, the engine's transcription phases, and a slice
// of input audio with its offset. Plain values, safe to send between threads.
#pragma once

#include <array>
#include <cfloat>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ZadezarIro/Core/JSONCoding.hpp"

namespace zadezariro {

struct TranscriptionTimings {
    double pipelineStart = DBL_MAX;  // time stamp at which the pipeline started
    double firstTokenTime = DBL_MAX;  // time stamp of the first token
    double inputAudioSeconds = 0.001;
    double modelLoading = 0;
    double prewarmLoadTime = 0;
    double encoderLoadTime = 0;
    double decoderLoadTime = 0;
    double encoderSpecializationTime = 0;
    double decoderSpecializationTime = 0;
    double tokenizerLoadTime = 0;
    double audioLoading = 0;
    double audioProcessing = 0;
    double logmels = 0;
    double encoding = 0;
    double decodingInit = 0;
    double decodingLoop = 0;
    double decodingPredictions = 0;
    double decodingFiltering = 0;
    double decodingSampling = 0;
    double decodingFallback = 0;
    double decodingWindowing = 0;
    double decodingKvCaching = 0;
    double decodingWordTimestamps = 0;
    double decodingNonPrediction = 0;
    double totalAudioProcessingRuns = 0;
    double totalLogmelRuns = 0;
    double totalEncodingRuns = 0;
    double totalDecodingLoops = 0;
    double totalKVUpdateRuns = 0;
    double totalTimestampAlignmentRuns = 0;
    double totalDecodingFallbacks = 0;
    double totalDecodingWindows = 0;
    double fullPipeline = 0;

    // The labelled initializer's thirty arguments (everything but the first three fields), each 0
    // by default; decodingTimestampAlignment sets decodingWordTimestamps.
    struct Arguments {
        double modelLoading = 0, prewarmLoadTime = 0, encoderLoadTime = 0, decoderLoadTime = 0,
               encoderSpecializationTime = 0, decoderSpecializationTime = 0, tokenizerLoadTime = 0, audioLoading = 0,
               audioProcessing = 0, logmels = 0, encoding = 0, decodingInit = 0, decodingLoop = 0,
               decodingPredictions = 0, decodingFiltering = 0, decodingSampling = 0, decodingFallback = 0,
               decodingWindowing = 0, decodingKvCaching = 0, decodingTimestampAlignment = 0, decodingNonPrediction = 0,
               totalAudioProcessingRuns = 0, totalLogmelRuns = 0, totalEncodingRuns = 0, totalDecodingLoops = 0,
               totalKVUpdateRuns = 0, totalTimestampAlignmentRuns = 0, totalDecodingFallbacks = 0,
               totalDecodingWindows = 0, fullPipeline = 0;
    };
    static TranscriptionTimings make(const Arguments& arguments);

    double tokensPerSecond() const { return totalDecodingLoops / fullPipeline; }
    double realTimeFactor() const { return fullPipeline / inputAudioSeconds; }
    double speedFactor() const { return inputAudioSeconds / fullPipeline; }

    // The 33 field names and members, in field (and JSON key) order.
    struct Field {
        std::string_view name;
        double TranscriptionTimings::*member;
    };
    static const std::array<Field, 33>& fields();

    // All 33 keys in field order; throws EncodingError for a non-finite value.
    Json toJSON() const;
    // All 33 keys required, each a number; throws DecodingError.
    static TranscriptionTimings fromJSON(const Json& j, const std::string& path = "");
};

// The multi-line timing report of a run: a header, fourteen stage lines with times, run counts and
// percentages of the larger of fullPipeline and decodingLoop, a separator and fourteen summary
// lines; `totalTokens` is the number of tokens over all segments. Zero denominators print as
// "inf" or "nan" (never "-nan"). No trailing line feed.
std::string timingReport(const TranscriptionTimings& timings, std::int64_t totalTokens);

struct TranscriptionProgress {
    TranscriptionTimings timings;
    std::string text;
    std::vector<std::int64_t> tokens;
    std::optional<float> temperature;
    std::optional<float> avgLogprob;
    std::optional<float> compressionRatio;
    std::int64_t windowId = 0;
};

enum class TranscriptionState { convertingAudio, transcribing, finished };
// "Converting Audio", "Transcribing", "Finished".
std::string_view description(TranscriptionState state);

struct AudioChunk {
    std::int64_t seekOffsetIndex = 0;  // first sample of the chunk in the whole audio, at 16 kHz
    std::vector<float> audioSamples;   // mono samples
};

}  // namespace zadezariro
