#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <limits>
#include <thread>

#include "AudioInput/PulseAudioSystem.hpp"
#include "DaroriCore/Logging.hpp"
#include "DaroriCore/NumberText.hpp"
#include "ZadezarIro/Utilities/Extensions.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace zadezariro {

namespace {

using darori::Logging;

std::string fixed2(double value) { return darori::fixedText(value, 2); }

std::string describe(const std::exception& e) { return e.what(); }

audioinput::AudioFormat standardFormat(double rate, std::uint32_t channels) {
    return {rate, channels, audioinput::SampleType::float32, false};
}

void logDetails(const char* what, double rate, std::uint32_t channels, std::int64_t frames) {
    Logging::debug(std::string(what) + " details - Sample Rate: " + fixed2(rate) + " Hz, Channel Count: " +
                   std::to_string(channels) + ", Frame Length: " + std::to_string(frames) +
                   ", Duration: " + fixed2(rate > 0 ? static_cast<double>(frames) / rate : 0) + "s");
}

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

PCMBuffer monoBuffer(double rate, const std::vector<float>& samples, std::size_t count) {
    PCMBuffer buffer(standardFormat(rate, 1), static_cast<std::uint32_t>(count));
    std::copy_n(samples.begin(), count, buffer.floatChannelData()[0]);
    buffer.setFrameLength(static_cast<std::uint32_t>(count));
    return buffer;
}

float peakMagnitude(const float* data, std::size_t count) {
    float peak = 0;
    for (std::size_t i = 0; i < count; ++i) peak = std::max(peak, std::fabs(data[i]));
    return peak;
}

}  // namespace

// ---------------------------------------------------------------- files

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

std::optional<PCMBuffer> AudioProcessor::convertToMono(const PCMBuffer& buffer, const AudioInputOptions::ChannelMode& mode) {
    const std::uint32_t channels = buffer.format().channels;
    if (channels < 2) return buffer;
    auto planes = buffer.floatChannelData();
    if (planes.empty()) {
        Logging::error("Buffer did not contain floatChannelData.");
        return std::nullopt;
    }
    const std::uint32_t frames = buffer.frameLength();
    const bool interleaved = buffer.format().interleaved;
    auto channelAt = [&](std::uint32_t c, std::uint32_t i) { return interleaved ? planes[0][i * channels + c] : planes[c][i]; };
    PCMBuffer mono(standardFormat(buffer.format().sampleRate, 1), buffer.frameCapacity());
    mono.setFrameLength(frames);
    float* out = mono.floatChannelData()[0];
    auto copyChannel = [&](std::uint32_t c) {
        for (std::uint32_t i = 0; i < frames; ++i) out[i] = channelAt(c, i);
    };

    if (const auto* specific = std::get_if<AudioInputOptions::SpecificChannel>(&mode)) {
        const bool valid = specific->channel >= 0 && specific->channel < channels;
        copyChannel(valid ? static_cast<std::uint32_t>(specific->channel) : 0);
        return mono;
    }
    const auto& sum = std::get<AudioInputOptions::SumChannels>(mode);
    std::vector<std::uint32_t> selected;
    if (!sum.channels || sum.channels->empty()) {
        for (std::uint32_t c = 0; c < channels; ++c) selected.push_back(c);
    } else {
        for (auto c : *sum.channels)
            if (c >= 0 && c < channels) selected.push_back(static_cast<std::uint32_t>(c));
        if (selected.empty()) {
            copyChannel(0);
            Logging::debug("No valid channel indices provided, defaulting to first channel");
            return mono;
        }
    }
    float loudest = 0;
    std::vector<float> plane(frames);
    for (auto c : selected) {
        for (std::uint32_t i = 0; i < frames; ++i) plane[i] = channelAt(c, i);
        loudest = std::max(loudest, peakMagnitude(plane.data(), frames));
        for (std::uint32_t i = 0; i < frames; ++i) out[i] += plane[i];
    }
    const float sumPeak = peakMagnitude(out, frames);
    // Channels that cancel each other leave a near-silent sum: scaling it up to the loudest
    // channel's peak would turn its residue into loud noise, so it stays as it is.
    const bool nearSilent = sumPeak <= 0.0001f || sumPeak < loudest * 0.01f;
    if (!nearSilent) {
        const float scale = loudest / sumPeak;
        for (std::uint32_t i = 0; i < frames; ++i) out[i] *= scale;
    }
    return mono;
}

std::vector<float> AudioProcessor::convertBufferToArray(PCMBuffer& buffer, std::int64_t chunkSize) {
    if (chunkSize <= 0) throw std::invalid_argument("copy step must be positive");
    auto planes = buffer.floatChannelData();
    if (planes.empty()) return {};
    const std::uint32_t frames = buffer.frameLength();
    const std::uint32_t stride = buffer.floatsPerFrame();
    std::vector<float> result(frames);
    for (std::uint32_t offset = 0; offset < frames; offset += static_cast<std::uint32_t>(std::min<std::int64_t>(chunkSize, frames - offset))) {
        const auto n = static_cast<std::uint32_t>(std::min<std::int64_t>(chunkSize, frames - offset));
        for (std::uint32_t i = 0; i < n; ++i) {
            float& sample = planes[0][(offset + i) * stride];
            result[offset + i] = sample;
            sample = 0;
        }
    }
    return result;
}

std::optional<mlruntime::MultiArray> AudioProcessor::padOrTrimAudio(std::span<const float> audioArray, std::int64_t startAt,
                                                                    std::int64_t toLength, bool) {
    const auto count = static_cast<std::int64_t>(audioArray.size());
    if (startAt < 0 || startAt >= count) {
        Logging::error("startIndex is outside the buffer size");
        return std::nullopt;
    }
    if (toLength <= 0) return std::nullopt;
    const std::int64_t end = std::min(startAt + toLength, count);
    mlruntime::MultiArray window({toLength}, mlruntime::DataType::Float32);
    float* data = window.typedData<float>();
    std::copy(audioArray.begin() + startAt, audioArray.begin() + end, data);
    std::fill(data + (end - startAt), data + toLength, 0.0f);
    return window;
}

WaveformImage AudioProcessor::createWaveformImage(std::span<const float> audio, double width, double height) {
    WaveformImage image;
    if (!(width >= 0) || !(height >= 0) || !std::isfinite(width) || !std::isfinite(height)) return image;
    image.width = static_cast<std::uint32_t>(width);
    image.height = static_cast<std::uint32_t>(height);
    image.pixels.assign(static_cast<std::size_t>(image.width) * image.height, 0);
    const std::size_t n = std::min(image.pixels.size(), audio.size());
    std::memcpy(image.pixels.data(), audio.data(), n * sizeof(float));
    return image;
}

std::optional<mlruntime::MultiArray> AudioProcessing::padOrTrim(std::span<const float> audioArray, std::int64_t startAt,
                                                                std::int64_t toLength) {
    return AudioProcessor::padOrTrimAudio(audioArray, startAt, toLength);
}

// ---------------------------------------------------------------- energy

bool AudioProcessor::isVoiceDetected(std::span<const float> relativeEnergies, float nextBufferInSeconds, float silenceThreshold) {
    const auto wanted = static_cast<std::size_t>(std::max(0.0f, nextBufferInSeconds / 0.1f));
    const std::size_t taken = std::min(wanted, relativeEnergies.size());
    auto recent = relativeEnergies.last(taken);
    const std::size_t kept = std::min(recent.size(), std::max<std::size_t>(recent.size() >= 10 ? recent.size() - 10 : 0, 10));
    return std::any_of(recent.begin(), recent.begin() + static_cast<std::ptrdiff_t>(kept), [&](float e) { return e > silenceThreshold; });
}

AudioEnergy AudioProcessor::calculateEnergy(std::span<const float> signal) {
    if (signal.empty()) return {};
    AudioEnergy energy;
    energy.avg = calculateAverageEnergy(signal);
    energy.min = std::numeric_limits<float>::max();
    for (float s : signal) {
        energy.max = std::max(energy.max, std::fabs(s));
        energy.min = std::min(energy.min, std::fabs(s));
    }
    return energy;
}

float AudioProcessor::calculateAverageEnergy(std::span<const float> signal) {
    if (signal.empty()) return 0;
    double sum = 0;
    for (float s : signal) sum += static_cast<double>(s) * s;
    return static_cast<float>(std::sqrt(sum / static_cast<double>(signal.size())));
}

namespace {
float relativeFrom(float rms, float decibelFloor) {
    float rel = (20.0f * std::log10(rms) - decibelFloor) / (0.0f - decibelFloor);
    if (std::isnan(rel) || rel < 0) return 0;
    return std::min(rel, 1.0f);
}
}  // namespace

float AudioProcessor::calculateRelativeEnergy(std::span<const float> signal, std::optional<float> reference) {
    const float floor = reference ? 20.0f * std::log10(std::max(*reference, 1e-8f)) : -60.0f;
    return relativeFrom(calculateAverageEnergy(signal), floor);
}

std::vector<bool> AudioProcessor::calculateVoiceActivityInChunks(std::span<const float> signal, std::int64_t chunkCount,
                                                                 std::int64_t frameLengthSamples, std::int64_t frameOverlapSamples,
                                                                 float energyThreshold) {
    const auto n = static_cast<std::int64_t>(signal.size());
    std::vector<bool> activity(static_cast<std::size_t>(std::max<std::int64_t>(chunkCount, 0)));
    for (std::int64_t i = 0; i < chunkCount; ++i) {
        const std::int64_t start = std::min(i * frameLengthSamples, n);
        const std::int64_t end = std::min(start + frameLengthSamples + frameOverlapSamples, n);
        if (end <= start) continue;
        activity[static_cast<std::size_t>(i)] = calculateAverageEnergy(signal.subspan(start, end - start)) > energyThreshold;
    }
    return activity;
}

std::vector<IndexRange> AudioProcessor::calculateNonSilentChunks(std::span<const float> signal) {
    return EnergyVAD().calculateActiveChunks(signal);
}

// ---------------------------------------------------------------- live capture

struct AudioProcessor::Capture {
    mutable std::mutex mutex;
    std::vector<float> samples;
    std::vector<AudioEnergy> energies;
    std::int64_t relativeEnergyWindow = 20;
    std::int64_t minBufferLength = 1600;
    bool inputSuppressed = false;
    AudioBufferCallback callback;
};

AudioProcessor::AudioProcessor() : AudioProcessor(nullptr) {}

AudioProcessor::AudioProcessor(std::shared_ptr<audioinput::AudioSystem> audioSystem)
    : audioSystem_(std::move(audioSystem)), capture_(std::make_shared<Capture>()) {}

AudioProcessor::~AudioProcessor() { stopRecording(); }

audioinput::AudioSystem& AudioProcessor::system() {
    if (!audioSystem_) audioSystem_ = audioinput::makePulseAudioSystem();
    return *audioSystem_;
}

std::vector<AudioDevice> AudioProcessor::getAudioDevices() const {
    try {
        return const_cast<AudioProcessor*>(this)->system().inputDevices();
    } catch (const std::exception& e) {
        Logging::error("Error: Unable to get the audio device IDs. " + describe(e));
        return {};
    }
}

bool AudioProcessor::requestRecordPermission() const {
    try {
        return const_cast<AudioProcessor*>(this)->system().requestRecordPermission();
    } catch (const std::exception&) {
        Logging::error("Microphone access denied");
        return false;
    }
}

std::vector<float> AudioProcessor::audioSamples() const {
    std::lock_guard lock(capture_->mutex);
    return capture_->samples;
}

std::vector<AudioEnergy> AudioProcessor::audioEnergy() const {
    std::lock_guard lock(capture_->mutex);
    return capture_->energies;
}

std::vector<float> AudioProcessor::relativeEnergy() const {
    std::lock_guard lock(capture_->mutex);
    std::vector<float> rel;
    rel.reserve(capture_->energies.size());
    for (const auto& e : capture_->energies) rel.push_back(e.rel);
    return rel;
}

void AudioProcessor::purgeAudioSamples(std::int64_t keepingLast) {
    std::lock_guard lock(capture_->mutex);
    auto& samples = capture_->samples;
    const auto keep = static_cast<std::size_t>(std::max<std::int64_t>(keepingLast, 0));
    if (samples.size() > keep) samples.erase(samples.begin(), samples.end() - static_cast<std::ptrdiff_t>(keep));
}

void AudioProcessor::dropAudioSamples(std::int64_t count) {
    std::lock_guard lock(capture_->mutex);
    auto& samples = capture_->samples;
    const auto dropped = static_cast<std::size_t>(std::clamp<std::int64_t>(count, 0, static_cast<std::int64_t>(samples.size())));
    samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(dropped));
}

std::int64_t AudioProcessor::relativeEnergyWindow() const {
    std::lock_guard lock(capture_->mutex);
    return capture_->relativeEnergyWindow;
}

void AudioProcessor::setRelativeEnergyWindow(std::int64_t window) {
    if (window < 1) throw std::invalid_argument("the relative energy window must be at least 1");
    std::lock_guard lock(capture_->mutex);
    capture_->relativeEnergyWindow = window;
}

std::int64_t AudioProcessor::minBufferLength() const {
    std::lock_guard lock(capture_->mutex);
    return capture_->minBufferLength;
}

void AudioProcessor::setMinBufferLength(std::int64_t frames) {
    if (frames < 1 || frames > std::numeric_limits<std::uint32_t>::max())
        throw std::invalid_argument("the capture buffer length must lie between 1 and 2^32 - 1 frames");
    std::lock_guard lock(capture_->mutex);
    capture_->minBufferLength = frames;
}

bool AudioProcessor::isInputSuppressed() const {
    std::lock_guard lock(capture_->mutex);
    return capture_->inputSuppressed;
}

void AudioProcessor::setInputSuppressed(bool suppressed) {
    std::lock_guard lock(capture_->mutex);
    capture_->inputSuppressed = suppressed;
}

void AudioProcessor::setAudioBufferCallback(AudioBufferCallback callback) {
    std::lock_guard lock(capture_->mutex);
    capture_->callback = std::move(callback);
}

bool AudioProcessor::isRecording() const { return audioEngine_ && audioEngine_->isRunning(); }

void AudioProcessor::processBuffer(const std::vector<float>& buffer) {
    AudioBufferCallback callback;
    {
        std::lock_guard lock(capture_->mutex);
        auto& energies = capture_->energies;
        capture_->samples.insert(capture_->samples.end(), buffer.begin(), buffer.end());
        float reference = std::numeric_limits<float>::infinity();
        for (std::size_t i = energies.size() > 20 ? energies.size() - 20 : 0; i < energies.size(); ++i)
            reference = std::min(reference, energies[i].avg);
        AudioEnergy energy = calculateEnergy(buffer);
        energy.rel = relativeFrom(energy.avg, 20.0f * std::log10(std::max(reference, 1e-8f)));
        energies.push_back(energy);
        callback = capture_->callback;
        const auto cadence = capture_->minBufferLength * capture_->relativeEnergyWindow;
        if (cadence > 0 && capture_->samples.size() % static_cast<std::size_t>(cadence) == 0)
            Logging::debug("Current audio size: " + std::to_string(capture_->samples.size()) + " samples, most recent buffer: " +
                           std::to_string(buffer.size()) + " samples, most recent energy: (rel: " + darori::fixedText(energy.rel, 6) +
                           ", avg: " + darori::fixedText(energy.avg, 6) + ", max: " + darori::fixedText(energy.max, 6) +
                           ", min: " + darori::fixedText(energy.min, 6) + ")");
    }
    if (callback) callback(buffer);
}

std::unique_ptr<audioinput::AudioEngine> AudioProcessor::setupEngine(std::optional<AudioDeviceID> inputDeviceID) {
    auto engine = system().makeEngine();
    if (inputDeviceID && !engine->setInputDevice(*inputDeviceID))
        Logging::error("Error setting Audio Unit property: no input device " + std::to_string(*inputDeviceID));
    else if (inputDeviceID)
        Logging::info("Successfully set input device.");
    audioinput::AudioFormat tapFormat = engine->outputFormat();
    tapFormat.sampleRate = engine->inputFormat().sampleRate;
    if (!tapFormat.isValid()) throw WhisperError::audioProcessingFailed("Failed to create node format");
    std::shared_ptr<audioinput::Converter> converter;
    try {
        converter = std::make_shared<audioinput::Converter>(tapFormat, targetSampleRate);
    } catch (const std::exception&) {
        throw WhisperError::audioProcessingFailed("Failed to create audio converter");
    }
    std::weak_ptr<Capture> weakCapture = capture_;
    AudioProcessor* self = this;
    const auto bufferSize = static_cast<std::uint32_t>(minBufferLength());
    engine->installTap(bufferSize, tapFormat, [weakCapture, self, converter](const audioinput::AudioBuffer& buffer) {
        auto capture = weakCapture.lock();
        if (!capture) return;
        std::vector<float> samples;
        try {
            samples = converter->convert(buffer);
        } catch (const std::exception& e) {
            Logging::error("Failed to resample buffer: " + describe(e));
            return;
        }
        if (samples.empty()) return;
        {
            std::lock_guard lock(capture->mutex);
            if (capture->inputSuppressed) std::fill(samples.begin(), samples.end(), 0.0f);
        }
        self->processBuffer(samples);
    });
    engine->start();
    return engine;
}

void AudioProcessor::startRecordingLive(std::optional<AudioDeviceID> inputDeviceID, AudioBufferCallback callback) {
    stopRecording();
    {
        std::lock_guard lock(capture_->mutex);
        capture_->samples.clear();
        capture_->energies.clear();
    }
    audioEngine_ = setupEngine(inputDeviceID);
    setAudioBufferCallback(std::move(callback));
    lastInputDevice_ = inputDeviceID;
}

std::pair<AudioStream<std::vector<float>>, AudioStream<std::vector<float>>::Continuation>
AudioProcessor::startStreamingRecordingLive(std::optional<AudioDeviceID> inputDeviceID) {
    auto made = AudioStream<std::vector<float>>::make();
    auto& stream = made.first;
    const auto continuation = made.second;
    std::weak_ptr<Capture> weakCapture = capture_;
    AudioProcessor* self = this;
    continuation.setOnTermination([weakCapture, self] {
        // Only while this processor (and so its capture state) still exists.
        if (weakCapture.lock()) {
            self->setAudioBufferCallback(nullptr);
            self->stopRecording();
        }
    });
    try {
        startRecordingLive(inputDeviceID, [continuation](const std::vector<float>& samples) { continuation.yield(samples); });
    } catch (...) {
        continuation.finish(std::current_exception());
    }
    return {std::move(stream), continuation};
}

void AudioProcessor::pauseRecording() {
    if (audioEngine_) audioEngine_->pause();
}

void AudioProcessor::resumeRecordingLive(std::optional<AudioDeviceID> inputDeviceID, AudioBufferCallback callback) {
    if (inputDeviceID == lastInputDevice_) {
        if (audioEngine_) audioEngine_->start();
    } else {
        auto engine = setupEngine(inputDeviceID);
        if (audioEngine_) {
            audioEngine_->removeTap();
            audioEngine_->stop();
        }
        audioEngine_ = std::move(engine);
    }
    if (callback) setAudioBufferCallback(std::move(callback));
}

void AudioProcessor::stopRecording() {
    if (!audioEngine_) return;
    audioEngine_->removeTap();
    audioEngine_->stop();
    audioEngine_.reset();
}

}  // namespace zadezariro
