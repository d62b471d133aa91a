// AudioProcessor's live capture: the audio engine and its tap, the captured samples with one energy
// record per buffer, and starting, pausing, resuming and stopping.
#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

#include "AudioInput/PulseAudioSystem.hpp"
#include "DaroriCore/Logging.hpp"
#include "DaroriCore/NumberText.hpp"
#include "ZadezarIro/Core/Audio/AudioProcessorSupport.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace zadezariro {

using darori::Logging;
using namespace audio_support;

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
        if (buffer.format().sampleRate == targetSampleRate && buffer.format().channels > 0) {
            // Already at the target rate: the first channel is taken as it is, without mixing.
            samples.resize(buffer.frameCount());
            for (std::uint32_t i = 0; i < buffer.frameCount(); ++i) samples[i] = buffer.sample(i, 0);
        } else {
            try {
                samples = converter->convert(buffer);
            } catch (const std::exception& e) {
                Logging::error("Failed to resample buffer: " + describe(e));
                return;
            }
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
