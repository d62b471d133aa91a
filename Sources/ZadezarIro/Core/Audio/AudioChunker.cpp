#include "ZadezarIro/Core/Audio/AudioChunker.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "DaroriCore/External/Hub/HubError.hpp"
#include "DaroriCore/Logging.hpp"
#include "DaroriCore/NumberText.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace zadezariro {

namespace {

std::string seconds2(std::int64_t samples) { return darori::fixedText(static_cast<double>(samples) / 16000.0, 2); }

}  // namespace

TranscriptionResults AudioChunking::updateSeekOffsetsForResults(const std::vector<TranscriptionOutcome>& chunkedResults,
                                                                const std::vector<AudioChunk>& audioChunks) {
    if (chunkedResults.size() != audioChunks.size())
        throw std::invalid_argument("one transcription outcome per chunk is needed");
    TranscriptionResults output;
    std::exception_ptr firstFailure;
    for (std::size_t i = 0; i < chunkedResults.size(); ++i) {
        if (const auto* failure = std::get_if<std::exception_ptr>(&chunkedResults[i])) {
            darori::Logging::debug("Error transcribing chunk " + std::to_string(i) + ": " + darori::describeError(*failure));
            if (!firstFailure) firstFailure = *failure;
            continue;
        }
        const auto& results = std::get<TranscriptionResults>(chunkedResults[i]);
        // The sample offset is the chunk's own index; only the seconds go through a float.
        const std::int64_t offsetSamples = audioChunks[i].seekOffsetIndex;
        const float offsetSeconds = static_cast<float>(static_cast<double>(offsetSamples) / 16000.0);
        for (const auto& result : results) {
            if (!result) continue;
            std::vector<TranscriptionSegment> segments = result->segments();
            for (auto& segment : segments) {
                segment.seek += offsetSamples;
                segment.start += offsetSeconds;
                segment.end += offsetSeconds;
                if (segment.words)
                    for (auto& word : *segment.words) {
                        word.start += offsetSeconds;
                        word.end += offsetSeconds;
                    }
            }
            result->setSeekTime(offsetSeconds);
            result->setSegments(std::move(segments));
            output.push_back(result);
        }
    }
    if (firstFailure) std::rethrow_exception(firstFailure);
    return output;
}

VADAudioChunker::VADAudioChunker(std::int64_t windowPadding, std::shared_ptr<VoiceActivityDetector> vad)
    : windowPadding_(windowPadding), vad_(vad ? std::move(vad) : std::make_shared<EnergyVAD>()) {}

std::int64_t VADAudioChunker::splitOnMiddleOfLongestSilence(std::span<const float> audioArray, std::int64_t startIndex,
                                                            std::int64_t endIndex) const {
    const std::int64_t mid = startIndex + (endIndex - startIndex) / 2;
    std::vector<bool> activity = vad_->voiceActivity(audioArray.subspan(static_cast<std::size_t>(mid),
                                                                        static_cast<std::size_t>(endIndex - mid)));
    auto silence = vad_->VoiceActivityDetector::findLongestSilence(activity);
    if (!silence) return endIndex;
    const std::int64_t middleFrame = silence->startIndex + (silence->endIndex - silence->startIndex) / 2;
    return std::min(endIndex, mid + middleFrame * vad_->frameLengthSamples());
}

bool VADAudioChunker::keepsTail(std::span<const float> tail) const {
    const std::vector<bool> activity = vad_->voiceActivity(tail);
    return std::find(activity.begin(), activity.end(), true) != activity.end();
}

std::vector<AudioChunk> VADAudioChunker::chunkAll(const std::vector<float>& audioArray, std::int64_t maxChunkLength,
                                                  const std::optional<DecodingOptions>& decodeOptions) {
    const auto n = static_cast<std::int64_t>(audioArray.size());
    if (n <= maxChunkLength) return {AudioChunk{0, audioArray}};
    if (maxChunkLength <= 0) throw std::invalid_argument("the longest chunk must be at least one sample");
    const DecodingOptions options = decodeOptions ? *decodeOptions : DecodingOptions{};
    std::vector<AudioChunk> chunks;
    for (auto [start, clipEnd] : prepareSeekClips(options, n)) {
        // A clip that starts past the audio is an error; one that only ends past it is cut at its end.
        if (start >= n && start < clipEnd - windowPadding_)
            throw WhisperError::audioProcessingFailed("startIndex is outside the buffer size");
        const std::int64_t end = std::min(clipEnd, n);
        std::int64_t seekStart = start;
        bool cut = false;
        auto voicedTail = [&] {
            return keepsTail(std::span<const float>(audioArray).subspan(static_cast<std::size_t>(seekStart),
                                                                        static_cast<std::size_t>(end - seekStart)));
        };
        while (seekStart < end - windowPadding_ || (cut && seekStart < end && voicedTail())) {
            if (seekStart >= n) throw WhisperError::audioProcessingFailed("startIndex is outside the buffer size");
            std::int64_t chunkEnd = seekStart + maxChunkLength < end
                                        ? splitOnMiddleOfLongestSilence(audioArray, seekStart, std::min(seekStart + maxChunkLength, n))
                                        : end;
            if (chunkEnd <= seekStart) break;
            darori::Logging::debug("Found chunk from " + seconds2(seekStart) + " to " + seconds2(chunkEnd));
            chunks.push_back(AudioChunk{seekStart, std::vector<float>(audioArray.begin() + seekStart, audioArray.begin() + chunkEnd)});
            seekStart = chunkEnd;
            cut = true;
        }
    }
    return chunks;
}

}  // namespace zadezariro
