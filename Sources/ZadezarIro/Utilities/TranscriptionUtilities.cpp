#include "ZadezarIro/Utilities/TranscriptionUtilities.hpp"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "DaroriCore/NumberText.hpp"
#include "ZadezarIro/Utilities/Extensions.hpp"

namespace zadezariro::TranscriptionUtilities {

namespace {
TranscriptionSegment shifted(const TranscriptionSegment& segment, std::int64_t samples, float seconds) {
    TranscriptionSegment out = segment;
    out.seek += samples;
    out.start += seconds;
    out.end += seconds;
    if (out.words) {
        for (auto& word : *out.words) {
            word.start += seconds;
            word.end += seconds;
        }
    }
    return out;
}

std::string twoDecimals(float value) { return darori::fixedText(static_cast<double>(value), 2); }
}  // namespace

double steadySeconds() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double wallClockSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string currentDateText() {
    const std::time_t seconds = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &utc);
    return text;
}

TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment, float seekTime) {
    const float samples = std::trunc(seekTime * 16000.0f);
    // Out of the 64-bit range (or NaN) a cast would be undefined: saturate instead (NaN as 0).
    const std::int64_t offset = std::isnan(samples)                   ? 0
                                : samples >= 9223372036854775807.0f    ? INT64_MAX
                                : samples <= -9223372036854775808.0f   ? INT64_MIN
                                                                        : static_cast<std::int64_t>(samples);
    return shifted(segment, offset, seekTime);
}

TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment, std::int64_t seekOffsetIndex) {
    return shifted(segment, seekOffsetIndex, static_cast<float>(seekOffsetIndex) / 16000.0f);
}

std::vector<std::string> formatSegments(const std::vector<TranscriptionSegment>& segments, bool withTimestamps) {
    std::vector<std::string> lines;
    for (const auto& segment : segments) {
        if (!withTimestamps) {
            lines.push_back(segment.text);
            continue;
        }
        std::string line = "[";
        line.append(twoDecimals(segment.start)).append(" --> ").append(twoDecimals(segment.end)).append("] ");
        lines.push_back(line.append(segment.text));
    }
    return lines;
}

std::vector<WordTiming> findLongestCommonPrefix(const std::vector<WordTiming>& a, const std::vector<WordTiming>& b) {
    std::vector<WordTiming> prefix;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (normalized(a[i].word) != normalized(b[i].word)) break;
        prefix.push_back(b[i]);
    }
    return prefix;
}

std::vector<WordTiming> findLongestDifferentSuffix(const std::vector<WordTiming>& a, const std::vector<WordTiming>& b) {
    const std::size_t common = findLongestCommonPrefix(a, b).size();
    return std::vector<WordTiming>(b.begin() + static_cast<std::ptrdiff_t>(common), b.end());
}

std::shared_ptr<TranscriptionResult> mergeTranscriptionResults(const std::vector<std::shared_ptr<TranscriptionResult>>& results,
                                                               const std::optional<std::vector<WordTiming>>& confirmedWords) {
    std::string text;
    if (confirmedWords) {
        for (const auto& word : *confirmedWords) text += word.word;
    } else {
        for (std::size_t i = 0; i < results.size(); ++i) {
            if (i) text += " ";
            if (results[i]) text += results[i]->text();
        }
    }

    std::vector<std::shared_ptr<TranscriptionResult>> kept;
    for (const auto& result : results)
        if (result) kept.push_back(result);

    std::vector<TranscriptionSegment> segments;
    std::vector<TranscriptionTimings> timings;
    for (const auto& result : kept) {
        for (auto& segment : result->segments()) {
            segment.id = static_cast<std::int64_t>(segments.size());
            segments.push_back(std::move(segment));
        }
        timings.push_back(result->timings());
    }
    const std::string language = kept.empty() ? std::string("en") : kept.front()->language();

    // Every field starts at 0: a field with no results to combine stays 0.
    TranscriptionTimings merged;
    for (const auto& field : TranscriptionTimings::fields()) merged.*field.member = 0;
    if (!timings.empty()) {
        using T = TranscriptionTimings;
        auto each = [&](auto combine, double T::*member) {
            double value = timings.front().*member;
            for (std::size_t i = 1; i < timings.size(); ++i) value = combine(value, timings[i].*member);
            merged.*member = value;
        };
        auto minimum = [](double x, double y) { return std::min(x, y); };
        auto maximum = [](double x, double y) { return std::max(x, y); };
        auto sum = [](double x, double y) { return x + y; };
        each(minimum, &T::pipelineStart);
        each(minimum, &T::firstTokenTime);
        for (auto member : {&T::modelLoading, &T::prewarmLoadTime, &T::encoderLoadTime, &T::decoderLoadTime, &T::tokenizerLoadTime})
            each(maximum, member);
        for (auto member :
             {&T::inputAudioSeconds, &T::audioLoading, &T::audioProcessing, &T::logmels, &T::encoding, &T::decodingInit,
              &T::decodingLoop, &T::decodingPredictions, &T::decodingFiltering, &T::decodingSampling, &T::decodingFallback,
              &T::decodingWindowing, &T::decodingKvCaching, &T::decodingWordTimestamps, &T::decodingNonPrediction,
              &T::totalAudioProcessingRuns, &T::totalLogmelRuns, &T::totalEncodingRuns, &T::totalDecodingLoops,
              &T::totalKVUpdateRuns, &T::totalTimestampAlignmentRuns, &T::totalDecodingFallbacks, &T::totalDecodingWindows})
            each(sum, member);
        // Runs that overlap in time count their overlap once.
        double latestEnd = -std::numeric_limits<double>::infinity();
        double total = 0;
        for (const auto& t : timings) {
            latestEnd = std::max(latestEnd, t.pipelineStart + t.fullPipeline);
            total += t.fullPipeline;
        }
        merged.fullPipeline = std::min(latestEnd - merged.pipelineStart, total);
    }
    return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments), language, merged, std::nullopt);
}

}  // namespace zadezariro::TranscriptionUtilities
