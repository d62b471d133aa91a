// AudioProcessor's file loading: a time range of a file as 16 kHz mono, whole files as arrays in
// bounded pieces, and several files at once.
#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <future>

#include "DaroriCore/Logging.hpp"
#include "ZadezarIro/Core/Audio/AudioProcessorSupport.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace zadezariro {

using darori::Logging;
using namespace audio_support;

PCMBuffer AudioProcessor::loadAudio(const std::string& path, const AudioInputOptions::ChannelMode& channelMode,
                                    std::optional<double> startTime, std::optional<double> endTime,
                                    std::optional<std::uint32_t> maxReadFrameSize) {
    if (!std::filesystem::exists(path)) throw WhisperError::loadAudioFailed("Resource path does not exist " + path);
    AudioFileReader file(path);
    return loadAudio(file, channelMode, startTime, endTime, maxReadFrameSize);
}

PCMBuffer AudioProcessor::loadAudio(AudioFileReader& file, const AudioInputOptions::ChannelMode& channelMode,
                                    std::optional<double> startTime, std::optional<double> endTime,
                                    std::optional<std::uint32_t> maxReadFrameSize) {
    const double rate = file.sampleRate();
    const std::uint32_t channels = file.channelCount();
    const std::int64_t length = file.length();
    if (length >= (std::int64_t{1} << 32))
        throw WhisperError::loadAudioFailed("Audio file is too long: " + std::to_string(length) + " frames");
    const double start = startTime.value_or(0);
    if (!std::isfinite(start) || start < 0 || (endTime && !std::isfinite(*endTime)))
        throw WhisperError::loadAudioFailed("Invalid audio time range");
    const std::int64_t startFrame = std::min<std::int64_t>(static_cast<std::int64_t>(start * rate), length);
    std::int64_t endFrame = length;
    if (endTime) endFrame = std::clamp<std::int64_t>(static_cast<std::int64_t>(std::max(0.0, *endTime) * rate), 0, length);
    const auto frameCount = static_cast<std::uint32_t>(std::max<std::int64_t>(endFrame - startFrame, 0));
    file.setFramePosition(startFrame);

    std::optional<PCMBuffer> result;
    if (rate == targetSampleRate && channels == 1) {
        // Read without conversion, growing with what the file delivers: a header that overstates
        // the length costs no memory, and a file that ends early gives the frames it has.
        std::vector<float> samples;
        PCMBuffer step(file.processingFormat(), std::max<std::uint32_t>(1, std::min(frameCount, maxReadFrameSize.value_or(defaultReadFrameSize))));
        try {
            while (samples.size() < frameCount) {
                std::uint32_t got = file.read(step, frameCount - static_cast<std::uint32_t>(samples.size()));
                if (got == 0) break;
                samples.insert(samples.end(), step.floatChannelData()[0], step.floatChannelData()[0] + got);
            }
        } catch (const std::exception& e) {
            throw WhisperError::loadAudioFailed("Failed to read audio file: " + describe(e));
        }
        result.emplace(monoBuffer(rate, samples, samples.size()));
    } else {
        result = resampleAudio(file, targetSampleRate, 1, channelMode, frameCount, maxReadFrameSize.value_or(defaultReadFrameSize));
        if (!result) throw WhisperError::loadAudioFailed("Failed to process audio buffer");
    }
    logDetails("Audio source", rate, channels, length);
    logDetails("Audio buffer", result->format().sampleRate, result->format().channels, result->frameLength());
    Logging::logCurrentMemoryUsage("After loadAudio function");
    return std::move(*result);
}

std::vector<float> AudioProcessor::loadAudioAsFloatArray(const std::string& path, const AudioInputOptions::ChannelMode& channelMode,
                                                         std::optional<double> startTime, std::optional<double> endTime) {
    if (!std::filesystem::exists(path)) throw WhisperError::loadAudioFailed("Resource path does not exist " + path);
    AudioFileReader file(path);
    const double duration = static_cast<double>(file.length()) / file.sampleRate();
    double current = startTime.value_or(0);
    const double end = std::min(duration, endTime.value_or(duration));
    std::vector<float> result;
    while (current < end) {
        const double pieceEnd = std::min(current + 600.0, end);
        PCMBuffer piece = loadAudio(file, channelMode, current, pieceEnd);
        std::vector<float> samples = convertBufferToArray(piece, 1024);
        result.insert(result.end(), samples.begin(), samples.end());
        current = pieceEnd;
    }
    return result;
}

std::vector<AudioArrayResult> AudioProcessor::loadAudio(const std::vector<std::string>& paths,
                                                        const AudioInputOptions::ChannelMode& channelMode) {
    std::vector<std::future<std::vector<float>>> jobs;
    for (const auto& path : paths)
        jobs.push_back(std::async(std::launch::async, [path, channelMode] { return loadAudioAsFloatArray(path, channelMode); }));
    std::vector<AudioArrayResult> results;
    for (auto& job : jobs) {
        try {
            results.emplace_back(job.get());
        } catch (...) {
            results.emplace_back(std::current_exception());
        }
    }
    return results;
}

PCMBuffer AudioProcessor::loadAudioAsync(const std::string& path) {
    return std::async(std::launch::async, [path] { return loadAudio(path); }).get();
}

}  // namespace zadezariro
