// AudioProcessor::loadFileIncrementally: a producer thread reads a file window by window, cuts what
// it has at silences and hands the chunks out through a stream, bounded by a slot controller.
#include <atomic>
#include <cmath>
#include <filesystem>
#include <thread>

#include "DaroriCore/Logging.hpp"
#include "ZadezarIro/Core/Audio/AudioChunker.hpp"
#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"
#include "ZadezarIro/Core/Audio/IncrementalLoadController.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace zadezariro {

namespace {

struct Cancelled {};

struct Producer {
    std::string path;
    AudioInputOptions::ChannelMode channelMode;
    double chunkDurationSeconds;
    std::int64_t maxChunkLength;
    std::shared_ptr<VoiceActivityDetector> vad;
    std::shared_ptr<IncrementalLoadController> controller;
    std::shared_ptr<std::atomic<bool>> cancelled;
    AudioStream<IncrementalFileChunk>::Continuation continuation;

    std::vector<float> pending;
    std::int64_t sampleOffset = 0;
    double currentTime = 0;
    double duration = 0;

    void checkCancellation() const {
        if (cancelled->load()) throw Cancelled{};
    }

    // Reads windows until pending holds more than maxChunkLength samples or the file is read; at
    // least one window when any is left, so that every round makes progress.
    void fill(AudioFileReader& file) {
        bool first = true;
        while (currentTime < duration && (first || static_cast<std::int64_t>(pending.size()) <= maxChunkLength)) {
            first = false;
            const double windowEnd = std::min(currentTime + chunkDurationSeconds, duration);
            PCMBuffer window = AudioProcessor::loadAudio(file, channelMode, currentTime, windowEnd);
            std::vector<float> samples = AudioProcessor::convertBufferToArray(window, 1024);
            pending.insert(pending.end(), samples.begin(), samples.end());
            currentTime = windowEnd;
        }
    }

    void run() {
        try {
            AudioFileReader file(path);
            duration = static_cast<double>(file.length()) / file.sampleRate();
            VADAudioChunker chunker(16000, vad);
            checkCancellation();
            fill(file);
            while (!pending.empty()) {
                const bool atEnd = currentTime >= duration;
                // The file's last samples after chunks already handed out are a tail like any other.
                if (atEnd && sampleOffset > 0 && static_cast<std::int64_t>(pending.size()) <= chunker.windowPadding() &&
                    !chunker.keepsTail(pending))
                    break;
                std::vector<AudioChunk> chunks = chunker.chunkAll(pending, maxChunkLength, std::nullopt);
                std::size_t outgoing = chunks.size();
                if (!atEnd) {
                    outgoing = 0;
                    while (outgoing < chunks.size() &&
                           chunks[outgoing].seekOffsetIndex + maxChunkLength <= static_cast<std::int64_t>(pending.size()))
                        ++outgoing;
                }
                if (outgoing == 0) {
                    if (atEnd) break;
                    checkCancellation();
                    fill(file);
                    continue;
                }
                const AudioChunk& last = chunks[outgoing - 1];
                const std::int64_t consumed = last.seekOffsetIndex + static_cast<std::int64_t>(last.audioSamples.size());
                for (std::size_t i = 0; i < outgoing; ++i) {
                    checkCancellation();
                    controller->requestChunkSlot();
                    checkCancellation();
                    std::weak_ptr<IncrementalLoadController> weak = controller;
                    continuation.yield(IncrementalFileChunk{
                        AudioChunk{chunks[i].seekOffsetIndex + sampleOffset, std::move(chunks[i].audioSamples)},
                        // A chunk gives back its own slot once, however often its signal is called.
                        [weak, released = std::make_shared<std::atomic<bool>>(false)] {
                            if (released->exchange(true)) return;
                            if (auto c = weak.lock()) c->releaseChunkSlot();
                        }});
                }
                if (atEnd) break;
                pending.erase(pending.begin(), pending.begin() + consumed);
                sampleOffset += consumed;
                checkCancellation();
                if (static_cast<std::int64_t>(pending.size()) <= maxChunkLength) fill(file);
            }
            continuation.finish();
        } catch (const Cancelled&) {
            continuation.finish();
        } catch (const std::exception& e) {
            darori::Logging::error(std::string("Error loading audio file incrementally: ") + e.what());
            continuation.finish(std::current_exception());
        }
    }
};

}  // namespace

AudioStream<IncrementalFileChunk> AudioProcessor::loadFileIncrementally(const std::string& path,
                                                                        const AudioInputOptions::ChannelMode& channelMode,
                                                                        double chunkDurationSeconds, std::int64_t maxBufferedChunks,
                                                                        std::int64_t maxChunkLength,
                                                                        std::shared_ptr<VoiceActivityDetector> vad) {
    if (!std::isfinite(chunkDurationSeconds) || chunkDurationSeconds <= 0)
        throw WhisperError::loadAudioFailed("Incremental chunk duration must be greater than 0");
    if (maxBufferedChunks < 1) throw WhisperError::loadAudioFailed("Incremental chunk buffer size must be greater than 0");
    if (!std::filesystem::exists(path)) throw WhisperError::loadAudioFailed("Audio file not found at path: " + path);
    return loadFileIncrementally(path, channelMode, chunkDurationSeconds, maxChunkLength, std::move(vad),
                                 std::make_shared<IncrementalLoadController>(maxBufferedChunks));
}

AudioStream<IncrementalFileChunk> AudioProcessor::loadFileIncrementally(const std::string& path,
                                                                        const AudioInputOptions::ChannelMode& channelMode,
                                                                        double chunkDurationSeconds, std::int64_t maxChunkLength,
                                                                        std::shared_ptr<VoiceActivityDetector> vad,
                                                                        std::shared_ptr<IncrementalLoadController> controller) {
    if (!std::isfinite(chunkDurationSeconds) || chunkDurationSeconds <= 0)
        throw WhisperError::loadAudioFailed("Incremental chunk duration must be greater than 0");
    if (!std::filesystem::exists(path)) throw WhisperError::loadAudioFailed("Audio file not found at path: " + path);
    if (maxChunkLength < 1) throw WhisperError::loadAudioFailed("Incremental chunk length must be greater than 0");

    auto [stream, continuation] = AudioStream<IncrementalFileChunk>::make();
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    continuation.setOnTermination([controller, cancelled] {
        cancelled->store(true);
        controller->resumeWaitingProducers();
    });
    auto producer = std::make_shared<Producer>(Producer{path, channelMode, chunkDurationSeconds, maxChunkLength,
                                                        vad ? std::move(vad) : std::make_shared<EnergyVAD>(), controller,
                                                        cancelled, continuation, {}, 0, 0.0, 0.0});
    std::thread([producer] { producer->run(); }).detach();
    return std::move(stream);
}

}  // namespace zadezariro
