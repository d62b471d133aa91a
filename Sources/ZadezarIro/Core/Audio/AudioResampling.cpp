// AudioProcessor's resampling: a file read, mixed and converted in bounded steps through one soxr
// stream, and single buffers converted in one go.
#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "DaroriCore/Logging.hpp"
#include "ZadezarIro/Core/Audio/AudioProcessorSupport.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace zadezariro {

using darori::Logging;
using namespace audio_support;

namespace {

// A soxr stream for one channel, high quality; joins consecutive pieces without seams.
class MonoResampler {
public:
    MonoResampler(double from, double to) {
        soxr_error_t error = nullptr;
        soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        handle_ = soxr_create(from, to, 1, &error, &io, &quality, nullptr);
        if (error || !handle_) throw WhisperError::audioProcessingFailed(std::string("Error converting audio: ") + (error ? error : "no resampler"));
        ratio_ = to / from;
    }
    ~MonoResampler() { soxr_delete(handle_); }
    MonoResampler(const MonoResampler&) = delete;
    MonoResampler& operator=(const MonoResampler&) = delete;

    // Appends the output for `input` (nullptr/0 to flush the tail) to `out`.
    void process(const float* input, std::size_t count, std::vector<float>& out) {
        std::size_t consumedTotal = 0;
        chunk.resize(std::max(chunk.size(), static_cast<std::size_t>(std::ceil(count * ratio_)) + 1024));
        for (;;) {
            std::size_t consumed = 0, done = 0;
            soxr_error_t error = soxr_process(handle_, input ? input + consumedTotal : nullptr,
                                              input ? count - consumedTotal : 0, &consumed, chunk.data(), chunk.size(), &done);
            if (error) throw WhisperError::audioProcessingFailed(std::string("Error converting audio: ") + error);
            consumedTotal += consumed;
            out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(done));
            if (input ? (consumedTotal >= count && done < chunk.size()) : done == 0) break;
            if (consumed == 0 && done == 0) break;
        }
    }

private:
    soxr_t handle_ = nullptr;
    double ratio_ = 1;
    std::vector<float> chunk;
};

}  // namespace

std::optional<PCMBuffer> AudioProcessor::resampleAudio(AudioFileReader& file, double toSampleRate, std::uint32_t channelCount,
                                                       const AudioInputOptions::ChannelMode& channelMode,
                                                       std::optional<std::uint32_t> frameCount, std::uint32_t maxReadFrameSize) {
    const double sourceRate = file.sampleRate();
    const std::int64_t start = file.framePosition();
    const std::int64_t count = frameCount ? *frameCount : file.length();
    const std::int64_t end = std::min(start + count, file.length());
    if (channelCount != 1 || !(toSampleRate > 0) || maxReadFrameSize == 0) {
        Logging::error("Failed to create output audio format");
        return std::nullopt;
    }
    Logging::debug("Resampling " + fixed2(static_cast<double>(count) / sourceRate) + " seconds of audio");
    const auto capacity = static_cast<std::uint32_t>(std::min<double>(
        static_cast<double>(count) / sourceRate * toSampleRate, std::numeric_limits<std::uint32_t>::max()));
    std::vector<float> out;
    // The stated length may overstate the file: reserve no more than 64 Mi samples up front.
    out.reserve(std::min<std::size_t>(capacity, std::size_t{1} << 26));
    if (start < end) {
        try {
            std::optional<MonoResampler> resampler;
            if (sourceRate != toSampleRate) resampler.emplace(sourceRate, toSampleRate);
            // No larger than the range, and at most 16 Mi samples over all channels per step.
            maxReadFrameSize = static_cast<std::uint32_t>(std::min<std::int64_t>(
                {maxReadFrameSize, end - start, std::max<std::int64_t>(1, (std::int64_t{1} << 24) / file.channelCount())}));
            PCMBuffer input(file.processingFormat(), maxReadFrameSize);
            for (;;) {
                const std::int64_t position = file.framePosition();
                const auto step = static_cast<std::uint32_t>(std::min<std::int64_t>(maxReadFrameSize, end - position));
                if (step == 0) break;
                Logging::debug("Resampling " + fixed2(position / sourceRate) + "s - " + fixed2((position + step) / sourceRate) + "s");
                std::uint32_t got = 0;
                try {
                    got = file.read(input, step);
                } catch (const std::exception& e) {
                    Logging::error("Error reading audio file: " + describe(e));
                    return std::nullopt;
                }
                if (got == 0) break;  // the file holds fewer frames than it states
                auto mono = convertToMono(input, channelMode);
                if (!mono) {
                    Logging::error("Failed to process audio channels");
                    return std::nullopt;
                }
                const float* samples = mono->floatChannelData()[0];
                if (resampler) {
                    resampler->process(samples, got, out);
                } else {
                    out.insert(out.end(), samples, samples + got);
                }
                if (out.size() >= capacity) break;
            }
            if (resampler && out.size() < capacity) resampler->process(nullptr, 0, out);
        } catch (const std::exception& e) {
            Logging::error("Failed to resample audio chunk: " + describe(e));
            return std::nullopt;
        }
    }
    return monoBuffer(toSampleRate, out, std::min<std::size_t>(out.size(), capacity));
}

std::optional<PCMBuffer> AudioProcessor::resampleAudio(const PCMBuffer& buffer, double toSampleRate, std::uint32_t channelCount) {
    if (!(toSampleRate > 0) || channelCount == 0 || buffer.format().type != audioinput::SampleType::float32) {
        Logging::error("Failed to create output audio format");
        return std::nullopt;
    }
    const std::uint32_t channels = buffer.format().channels;
    if (channelCount != 1 && channelCount != channels) {
        Logging::error("Failed to create audio converter");
        return std::nullopt;
    }
    const double exact = toSampleRate * buffer.frameLength() / buffer.format().sampleRate;
    double capacity = exact;
    if (exact != std::floor(exact)) {
        capacity = std::max(1.0, std::nearbyint(exact));
        Logging::debug("Rounding buffer frame capacity from " + std::to_string(exact) + " to " + std::to_string(capacity) +
                       " to better fit new sample rate");
    }
    const auto outFrames = static_cast<std::uint32_t>(capacity);
    PCMBuffer out(standardFormat(toSampleRate, channelCount), outFrames);
    auto source = buffer.floatChannelData();
    auto target = out.floatChannelData();
    std::vector<float> plane(buffer.frameLength());
    for (std::uint32_t c = 0; c < channelCount; ++c) {
        // Into one channel: the mean of all channels; otherwise channel by channel.
        if (channelCount == 1 && channels > 1) {
            std::fill(plane.begin(), plane.end(), 0.0f);
            for (std::uint32_t k = 0; k < channels; ++k)
                for (std::uint32_t i = 0; i < buffer.frameLength(); ++i)
                    plane[i] += (buffer.format().interleaved ? source[0][i * channels + k] : source[k][i]) / static_cast<float>(channels);
        } else {
            for (std::uint32_t i = 0; i < buffer.frameLength(); ++i)
                plane[i] = buffer.format().interleaved ? source[0][i * channels + c] : source[c][i];
        }
        std::size_t done = 0;
        soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        soxr_error_t error = soxr_oneshot(buffer.format().sampleRate, toSampleRate, 1, plane.data(), plane.size(), nullptr,
                                          target[c], outFrames, &done, &io, &quality, nullptr);
        if (error) {
            Logging::error(std::string("Failed to resample buffer: Error converting audio: ") + error);
            return std::nullopt;
        }
    }
    out.setFrameLength(outFrames);
    return out;
}

}  // namespace zadezariro
