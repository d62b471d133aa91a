#include "ZadezarIro/Core/TranscriptionTimings.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "DaroriCore/Logging.hpp"
#include "DaroriCore/NumberText.hpp"

namespace zadezariro {

TranscriptionTimings TranscriptionTimings::make(const Arguments& a) {
    TranscriptionTimings t;
    t.modelLoading = a.modelLoading;
    t.prewarmLoadTime = a.prewarmLoadTime;
    t.encoderLoadTime = a.encoderLoadTime;
    t.decoderLoadTime = a.decoderLoadTime;
    t.encoderSpecializationTime = a.encoderSpecializationTime;
    t.decoderSpecializationTime = a.decoderSpecializationTime;
    t.tokenizerLoadTime = a.tokenizerLoadTime;
    t.audioLoading = a.audioLoading;
    t.audioProcessing = a.audioProcessing;
    t.logmels = a.logmels;
    t.encoding = a.encoding;
    t.decodingInit = a.decodingInit;
    t.decodingLoop = a.decodingLoop;
    t.decodingPredictions = a.decodingPredictions;
    t.decodingFiltering = a.decodingFiltering;
    t.decodingSampling = a.decodingSampling;
    t.decodingFallback = a.decodingFallback;
    t.decodingWindowing = a.decodingWindowing;
    t.decodingKvCaching = a.decodingKvCaching;
    t.decodingWordTimestamps = a.decodingTimestampAlignment;
    t.decodingNonPrediction = a.decodingNonPrediction;
    t.totalAudioProcessingRuns = a.totalAudioProcessingRuns;
    t.totalLogmelRuns = a.totalLogmelRuns;
    t.totalEncodingRuns = a.totalEncodingRuns;
    t.totalDecodingLoops = a.totalDecodingLoops;
    t.totalKVUpdateRuns = a.totalKVUpdateRuns;
    t.totalTimestampAlignmentRuns = a.totalTimestampAlignmentRuns;
    t.totalDecodingFallbacks = a.totalDecodingFallbacks;
    t.totalDecodingWindows = a.totalDecodingWindows;
    t.fullPipeline = a.fullPipeline;
    return t;
}

const std::array<TranscriptionTimings::Field, 33>& TranscriptionTimings::fields() {
    using T = TranscriptionTimings;
    static const std::array<Field, 33> table{{
        {"pipelineStart", &T::pipelineStart},
        {"firstTokenTime", &T::firstTokenTime},
        {"inputAudioSeconds", &T::inputAudioSeconds},
        {"modelLoading", &T::modelLoading},
        {"prewarmLoadTime", &T::prewarmLoadTime},
        {"encoderLoadTime", &T::encoderLoadTime},
        {"decoderLoadTime", &T::decoderLoadTime},
        {"encoderSpecializationTime", &T::encoderSpecializationTime},
        {"decoderSpecializationTime", &T::decoderSpecializationTime},
        {"tokenizerLoadTime", &T::tokenizerLoadTime},
        {"audioLoading", &T::audioLoading},
        {"audioProcessing", &T::audioProcessing},
        {"logmels", &T::logmels},
        {"encoding", &T::encoding},
        {"decodingInit", &T::decodingInit},
        {"decodingLoop", &T::decodingLoop},
        {"decodingPredictions", &T::decodingPredictions},
        {"decodingFiltering", &T::decodingFiltering},
        {"decodingSampling", &T::decodingSampling},
        {"decodingFallback", &T::decodingFallback},
        {"decodingWindowing", &T::decodingWindowing},
        {"decodingKvCaching", &T::decodingKvCaching},
        {"decodingWordTimestamps", &T::decodingWordTimestamps},
        {"decodingNonPrediction", &T::decodingNonPrediction},
        {"totalAudioProcessingRuns", &T::totalAudioProcessingRuns},
        {"totalLogmelRuns", &T::totalLogmelRuns},
        {"totalEncodingRuns", &T::totalEncodingRuns},
        {"totalDecodingLoops", &T::totalDecodingLoops},
        {"totalKVUpdateRuns", &T::totalKVUpdateRuns},
        {"totalTimestampAlignmentRuns", &T::totalTimestampAlignmentRuns},
        {"totalDecodingFallbacks", &T::totalDecodingFallbacks},
        {"totalDecodingWindows", &T::totalDecodingWindows},
        {"fullPipeline", &T::fullPipeline},
    }};
    return table;
}

Json TranscriptionTimings::toJSON() const {
    Json j = Json::object();
    for (const auto& field : fields()) j[std::string(field.name)] = json::fromDouble(this->*field.member);
    return j;
}

TranscriptionTimings TranscriptionTimings::fromJSON(const Json& j, const std::string& path) {
    TranscriptionTimings t;
    for (const auto& field : fields())
        t.*field.member = json::toDouble(json::require(j, field.name, path), json::join(path, field.name));
    return t;
}

namespace {
// One number with `decimals` digits after the point; a NaN prints as "nan" whatever its sign bit (0/0
// is a negative NaN on x86).
std::string format(int decimals, double value) {
    if (std::isnan(value)) value = std::copysign(value, 1.0);
    return darori::fixedText(value, decimals);
}

std::string padded(std::string_view label, std::size_t width) {
    std::string out(label);
    if (out.size() < width) out.append(width - out.size(), ' ');
    return out;
}
}  // namespace

std::string timingReport(const TranscriptionTimings& t, std::int64_t totalTokens) {
    const double total = std::max(t.fullPipeline, t.decodingLoop) * 1000;
    auto F = [&](double seconds, double runs) { return darori::Logging::formatTimeWithPercentage(seconds, runs, total); };
    const std::pair<std::string_view, std::string> stages[] = {
        {"Audio Load:", F(t.audioLoading, 1)},
        {"Audio Processing:", F(t.audioProcessing, t.totalAudioProcessingRuns)},
        {"Mels:", F(t.logmels, t.totalLogmelRuns)},
        {"Encoding:", F(t.encoding, t.totalEncodingRuns)},
        {"Matrices Init:", F(t.decodingInit, 1)},
        {"Decoding:", F(t.decodingPredictions, t.totalDecodingLoops)},
        {"Non-inference:", F(t.decodingNonPrediction, t.totalDecodingLoops)},
        {"- Logit Filtering:", F(t.decodingFiltering, t.totalDecodingLoops)},
        {"- Sampling:", F(t.decodingSampling, t.totalDecodingLoops)},
        {"- Kv Caching:", F(t.decodingKvCaching, t.totalKVUpdateRuns)},
        {"- Word Timestamps:", F(t.decodingWordTimestamps, t.totalTimestampAlignmentRuns)},
        {"- Windowing:", F(t.decodingWindowing - t.decodingWordTimestamps, t.totalDecodingWindows)},
        {"Fallbacks:", F(t.decodingFallback, t.totalDecodingFallbacks)},
        {"Decoding Full Loop:", F(t.decodingLoop, t.totalDecodingLoops)},
    };
    const std::pair<std::string_view, std::string> summary[] = {
        {"Model Load Time:", format(2, t.modelLoading) + " seconds"},
        {"- Prewarm:", format(2, t.prewarmLoadTime) + " seconds"},
        {"- Encoder:", format(2, t.encoderLoadTime) + " seconds"},
        {"- Decoder:", format(2, t.decoderLoadTime) + " seconds"},
        {"- Tokenizer:", format(2, t.tokenizerLoadTime) + " seconds"},
        {"Inference Duration (Global):", format(2, t.fullPipeline) + " seconds"},
        {"- Decoding Loop (Avg/window):", format(2, t.decodingLoop / t.totalAudioProcessingRuns) + " seconds"},
        {"- Audio Windows:", format(2, t.totalAudioProcessingRuns)},
        {"Time to first token:", format(2, t.firstTokenTime - t.pipelineStart) + " seconds"},
        {"Total Tokens:", std::to_string(totalTokens)},
        {"Tokens per Second:", format(2, t.totalDecodingLoops / t.fullPipeline) + " tok/s"},
        {"Real Time Factor:", format(3, t.fullPipeline / t.inputAudioSeconds)},
        {"Speed Factor:", format(3, 1 / (t.fullPipeline / t.inputAudioSeconds))},
        {"Fallbacks:", darori::doubleDescription(t.totalDecodingFallbacks)},
    };
    std::string report = "---- Transcription Timings ----";
    for (const auto& [label, value] : stages) report.append("\n").append(padded(label, 21)).append(value);
    report.append("\n-------------------------------");
    for (const auto& [label, value] : summary) report.append("\n").append(padded(label, 31)).append(value);
    return report;
}

std::string_view description(TranscriptionState state) {
    switch (state) {
        case TranscriptionState::convertingAudio: return "Converting Audio";
        case TranscriptionState::transcribing: return "Transcribing";
        case TranscriptionState::finished: return "Finished";
    }
    return "Finished";
}

}  // namespace zadezariro
