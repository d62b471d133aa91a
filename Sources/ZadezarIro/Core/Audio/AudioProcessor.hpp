// The engine's audio component. Static operations turn audio files of any rate, channel layout and
// common format into 16 kHz mono float samples (libsndfile to read, soxr high quality to resample),
// cut or pad arrays to a model window, measure energy and voice activity, and read long files
// incrementally. An AudioProcessor object also captures live audio through an audioinput::AudioSystem
// (PulseAudio unless another is given), converting every buffer to 16 kHz mono and keeping the
// samples and one energy record per buffer.
//
// Thread safety: the static operations keep no shared state. The capture state (samples, energies)
// is appended on the capture thread under a lock; the accessors return snapshots taken under it.
// start/pause/resume/stop are meant for one controlling thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "AudioInput/AudioSystem.hpp"
#include "AudioInput/Converter.hpp"
#include "MLRuntime/MultiArray.hpp"
#include "ZadezarIro/Core/Audio/AudioFileReader.hpp"
#include "ZadezarIro/Core/Audio/AudioInputOptions.hpp"
#include "ZadezarIro/Core/Audio/AudioStream.hpp"
#include "ZadezarIro/Core/Audio/IncrementalLoadController.hpp"
#include "ZadezarIro/Core/Audio/PCMBuffer.hpp"
#include "ZadezarIro/Core/Audio/VoiceActivityDetector.hpp"
#include "ZadezarIro/Core/TranscriptionTimings.hpp"

namespace zadezariro {

using AudioDeviceID = std::uint32_t;
using audioinput::AudioDevice;

// Energy of one captured buffer: relative energy in [0, 1], RMS, largest and smallest magnitude.
struct AudioEnergy {
    float rel = 0, avg = 0, max = 0, min = 0;
    bool operator==(const AudioEnergy&) const = default;
};

// The array of one file, or the error that stopped it.
using AudioArrayResult = std::variant<std::vector<float>, std::exception_ptr>;

// Raw 32-bit pixels made from float samples' bytes (premultiplied ARGB, little-endian).
struct WaveformImage {
    std::uint32_t width = 0, height = 0;
    std::vector<std::uint32_t> pixels;  // width × height, row by row
};

// A chunk of an incrementally loaded file; call completionSignal once when done with it.
struct IncrementalFileChunk {
    AudioChunk audioChunk;
    std::function<void()> completionSignal;
};

using AudioBufferCallback = std::function<void(const std::vector<float>&)>;

class AudioProcessing {
public:
    virtual ~AudioProcessing() = default;

    // A snapshot of all samples captured since the last start, minus purged ones.
    virtual std::vector<float> audioSamples() const = 0;
    virtual void purgeAudioSamples(std::int64_t keepingLast) = 0;
    // Removes the first `count` samples (all of them when fewer are kept; nothing for count <= 0),
    // in one step with respect to the capture, so no sample that arrives meanwhile is lost.
    virtual void dropAudioSamples(std::int64_t count) = 0;
    virtual std::vector<float> relativeEnergy() const = 0;
    virtual std::int64_t relativeEnergyWindow() const = 0;
    virtual void setRelativeEnergyWindow(std::int64_t window) = 0;
    virtual void startRecordingLive(std::optional<AudioDeviceID> inputDeviceID = std::nullopt,
                                    AudioBufferCallback callback = nullptr) = 0;
    virtual std::pair<AudioStream<std::vector<float>>, AudioStream<std::vector<float>>::Continuation>
    startStreamingRecordingLive(std::optional<AudioDeviceID> inputDeviceID = std::nullopt) = 0;
    virtual void pauseRecording() = 0;
    virtual void stopRecording() = 0;
    virtual void resumeRecordingLive(std::optional<AudioDeviceID> inputDeviceID = std::nullopt,
                                     AudioBufferCallback callback = nullptr) = 0;
    // The window of padOrTrimAudio, or nothing.
    virtual std::optional<mlruntime::MultiArray> padOrTrim(std::span<const float> audioArray, std::int64_t startAt = 0,
                                                           std::int64_t toLength = 480000);
};

class AudioProcessor : public AudioProcessing {
public:
    static constexpr double targetSampleRate = 16000;
    static constexpr std::uint32_t defaultReadFrameSize = 1323000;

    // Captures through the PulseAudio system (a connection is made on the first start).
    AudioProcessor();
    explicit AudioProcessor(std::shared_ptr<audioinput::AudioSystem> audioSystem);
    ~AudioProcessor() override;
    AudioProcessor(const AudioProcessor&) = delete;
    AudioProcessor& operator=(const AudioProcessor&) = delete;

    // ---- Files ----

    // Checks the path ("Resource path does not exist " + path), opens the file (its errors propagate)
    // and loads the range [startTime, endTime) seconds as 16 kHz mono.
    static PCMBuffer loadAudio(const std::string& path, const AudioInputOptions::ChannelMode& channelMode = AudioInputOptions::SumChannels{},
                               std::optional<double> startTime = std::nullopt, std::optional<double> endTime = std::nullopt,
                               std::optional<std::uint32_t> maxReadFrameSize = std::nullopt);
    // Reads a range of an open file as 16 kHz mono float. An end past the file is clipped to it; a
    // start at or past the end (or an end before the start) gives an empty buffer. A file that ends
    // early gives what it holds. Throws WhisperError::loadAudioFailed for a non-finite or negative
    // time or a file of 2^32 frames or more, and for the failures named in the implementation.
    static PCMBuffer loadAudio(AudioFileReader& file, const AudioInputOptions::ChannelMode& channelMode,
                               std::optional<double> startTime, std::optional<double> endTime,
                               std::optional<std::uint32_t> maxReadFrameSize = std::nullopt);
    // The range as an array, read in 600-second pieces.
    static std::vector<float> loadAudioAsFloatArray(const std::string& path,
                                                    const AudioInputOptions::ChannelMode& channelMode = AudioInputOptions::SumChannels{},
                                                    std::optional<double> startTime = std::nullopt,
                                                    std::optional<double> endTime = std::nullopt);
    // Every path on its own thread; one result per path in input order. Never throws.
    static std::vector<AudioArrayResult> loadAudio(const std::vector<std::string>& paths,
                                                   const AudioInputOptions::ChannelMode& channelMode = AudioInputOptions::SumChannels{});
    // loadAudio(path) with summed channels over the whole file, run on another thread.
    static PCMBuffer loadAudioAsync(const std::string& path);

    // Reads frameCount frames (the rest of the file when absent) from the read position in steps of
    // maxReadFrameSize, mixes and resamples them. Nothing on failure (logged at error level).
    static std::optional<PCMBuffer> resampleAudio(AudioFileReader& file, double toSampleRate, std::uint32_t channelCount,
                                                  const AudioInputOptions::ChannelMode& channelMode,
                                                  std::optional<std::uint32_t> frameCount, std::uint32_t maxReadFrameSize);
    // One buffer to the standard format at the rate and channel count (1, or the buffer's own).
    static std::optional<PCMBuffer> resampleAudio(const PCMBuffer& buffer, double toSampleRate, std::uint32_t channelCount);
    // Mixes channels by the mode; a mono buffer comes back unchanged. A sum is rescaled by the peak
    // of its loudest channel over its own peak, taken as at least 1e-4.
    static std::optional<PCMBuffer> convertToMono(const PCMBuffer& buffer, const AudioInputOptions::ChannelMode& mode);
    // The first channel's samples, copied chunkSize frames at a time; each copied stretch of the
    // buffer is cleared. chunkSize must be positive (std::invalid_argument otherwise).
    static std::vector<float> convertBufferToArray(PCMBuffer& buffer, std::int64_t chunkSize = 1024);
    // toLength samples from startAt, zero-padded; nothing (logged) when startAt is outside the array.
    static std::optional<mlruntime::MultiArray> padOrTrimAudio(std::span<const float> audioArray, std::int64_t startAt = 0,
                                                               std::int64_t toLength = 480000, bool saveSegment = false);
    // The samples' bytes as 32-bit pixels; pixels beyond the samples stay 0.
    static WaveformImage createWaveformImage(std::span<const float> audio, double width, double height);

    // ---- Incremental loading ----

    // Checks the arguments ("Incremental chunk duration must be greater than 0", "Incremental chunk
    // buffer size must be greater than 0", "Audio file not found at path: " + path; all
    // WhisperError::loadAudioFailed) and returns a stream that a producer thread fills with the
    // file's chunks in order, at most maxBufferedChunks handed out and not released at a time.
    // Dropping or cancelling the stream stops the producer; a read failure finishes it with the error.
    static AudioStream<IncrementalFileChunk> loadFileIncrementally(const std::string& path,
                                                                   const AudioInputOptions::ChannelMode& channelMode,
                                                                   double chunkDurationSeconds, std::int64_t maxBufferedChunks,
                                                                   std::int64_t maxChunkLength,
                                                                   std::shared_ptr<VoiceActivityDetector> vad);
    // The same with the slot controller given by the caller, who may watch it.
    static AudioStream<IncrementalFileChunk> loadFileIncrementally(const std::string& path,
                                                                   const AudioInputOptions::ChannelMode& channelMode,
                                                                   double chunkDurationSeconds, std::int64_t maxChunkLength,
                                                                   std::shared_ptr<VoiceActivityDetector> vad,
                                                                   std::shared_ptr<IncrementalLoadController> controller);

    // ---- Energy and voice activity ----

    static bool isVoiceDetected(std::span<const float> relativeEnergies, float nextBufferInSeconds, float silenceThreshold);
    static AudioEnergy calculateEnergy(std::span<const float> signal);  // rel left 0
    static float calculateAverageEnergy(std::span<const float> signal);
    static float calculateRelativeEnergy(std::span<const float> signal, std::optional<float> reference);
    static std::vector<bool> calculateVoiceActivityInChunks(std::span<const float> signal, std::int64_t chunkCount,
                                                            std::int64_t frameLengthSamples, std::int64_t frameOverlapSamples,
                                                            float energyThreshold);
    static std::vector<IndexRange> calculateNonSilentChunks(std::span<const float> signal);

    // ---- Live capture ----

    std::vector<AudioDevice> getAudioDevices() const;
    bool requestRecordPermission() const;

    std::vector<float> audioSamples() const override;
    std::vector<AudioEnergy> audioEnergy() const;
    std::vector<float> relativeEnergy() const override;
    void purgeAudioSamples(std::int64_t keepingLast) override;
    void dropAudioSamples(std::int64_t count) override;
    std::int64_t relativeEnergyWindow() const override;
    // Throws std::invalid_argument for a window below 1.
    void setRelativeEnergyWindow(std::int64_t window) override;
    std::int64_t minBufferLength() const;
    // Throws std::invalid_argument for a length below 1 or above 2^32 − 1.
    void setMinBufferLength(std::int64_t frames);
    bool isInputSuppressed() const;
    void setInputSuppressed(bool suppressed);
    void setAudioBufferCallback(AudioBufferCallback callback);
    bool isRecording() const;

    // Stops any capture running, clears samples and energies and starts a new one. Throws
    // WhisperError::audioProcessingFailed ("Failed to create node format", "Failed to create audio
    // converter") or the engine's start error; the buffers then stay empty.
    void startRecordingLive(std::optional<AudioDeviceID> inputDeviceID = std::nullopt, AudioBufferCallback callback = nullptr) override;
    // The same, feeding a stream; ending the stream stops the capture. Never throws: a start error
    // finishes the stream with it.
    std::pair<AudioStream<std::vector<float>>, AudioStream<std::vector<float>>::Continuation>
    startStreamingRecordingLive(std::optional<AudioDeviceID> inputDeviceID = std::nullopt) override;
    void pauseRecording() override;
    // Restarts the paused engine for the same device, or builds one for another device; samples and
    // energies stay. A given callback replaces the old one.
    void resumeRecordingLive(std::optional<AudioDeviceID> inputDeviceID = std::nullopt, AudioBufferCallback callback = nullptr) override;
    // Removes the tap and stops the engine; samples, energies, callback and device stay.
    void stopRecording() override;

    // Appends one converted buffer and its energy record, then calls the callback.
    void processBuffer(const std::vector<float>& buffer);

private:
    struct Capture;
    std::unique_ptr<audioinput::AudioEngine> setupEngine(std::optional<AudioDeviceID> inputDeviceID);
    audioinput::AudioSystem& system();

    std::shared_ptr<audioinput::AudioSystem> audioSystem_;
    std::shared_ptr<Capture> capture_;  // shared with the taps, which hold it weakly
    std::unique_ptr<audioinput::AudioEngine> audioEngine_;
    std::optional<AudioDeviceID> lastInputDevice_;
};

}  // namespace zadezariro
