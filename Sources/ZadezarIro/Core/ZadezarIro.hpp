// The speech engine's facade: one object holding the engine's replaceable components (audio
// processor, feature extractor, audio encoder, text decoder, segment seeker, optional voice
// activity detector), the tokenizer, the model state and variant, the compute units, the model and
// tokenizer folders, the timings and three optional callbacks. Everything the engine does is
// reached through it: model setup, download, prewarm, load and unload; language detection; the
// transcription of arrays and files; model recommendations and downloads (static).
//
// Ownership: a facade is always held by a std::shared_ptr (create() makes it). Work it starts on
// other threads (the arrays of a batch, the chunks of a long array) holds it weakly, so an in-flight
// batch does not keep it alive; such work reports "ZadezarIro instance was deallocated" when the
// facade is gone.
//
// Thread safety: every field is kept under the facade's lock and may be read or replaced from any
// thread; callbacks are called outside that lock, on the thread that changed the state or found the
// segments. Loads never overlap: concurrent loadModels calls share one load, and unloadModels waits
// for a running load. Transcriptions may run concurrently; they share the components, which guard
// their own models.
//
// Blocking and cancellation: every operation blocks its calling thread until done. Transcriptions
// check the calling thread's stop token (cancellation::checkCancellation) and throw
// cancellation::CancellationError when it is set; worker threads started here run under the
// caller's token, so cancelling the caller stops them too.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "DaroriCore/External/Hub/Progress.hpp"
#include "DaroriCore/Logging.hpp"
#include "DaroriCore/ModelState.hpp"
#include "ZadezarIro/Core/Audio/AudioInputOptions.hpp"
#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"
#include "ZadezarIro/Core/Audio/AudioStream.hpp"
#include "ZadezarIro/Core/Audio/VoiceActivityDetector.hpp"
#include "ZadezarIro/Core/AudioEncoder.hpp"
#include "ZadezarIro/Core/Constants.hpp"
#include "ZadezarIro/Core/DecodingOptions.hpp"
#include "ZadezarIro/Core/FeatureExtractor.hpp"
#include "ZadezarIro/Core/ModelRepository.hpp"
#include "ZadezarIro/Core/ModelSupportConfig.hpp"
#include "ZadezarIro/Core/ModelVariant.hpp"
#include "ZadezarIro/Core/Text/LogitsFilter.hpp"
#include "ZadezarIro/Core/Text/SegmentSeeker.hpp"
#include "ZadezarIro/Core/TextDecoder.hpp"
#include "ZadezarIro/Core/TranscribeTask.hpp"
#include "ZadezarIro/Core/TranscriptionResult.hpp"
#include "ZadezarIro/Core/TranscriptionTimings.hpp"
#include "ZadezarIro/Core/WhisperTokenizer.hpp"
#include "ZadezarIro/Core/ZadezarIroConfig.hpp"
#include "ZadezarIro/Utilities/Extensions.hpp"

namespace zadezariro {

// Told every change of the model state: the previous state and the new one.
using ModelStateCallback = std::function<void(std::optional<darori::ModelState> oldState, darori::ModelState newState)>;
// Told the phase of a file transcription.
using TranscriptionStateCallback = std::function<void(TranscriptionState state)>;

// The language of a piece of audio and the log-probability of every language considered.
struct LanguageDetection {
    std::string language;
    std::map<std::string, float> langProbs;
};

class ZadezarIro : public std::enable_shared_from_this<ZadezarIro> {
public:
    static constexpr std::int64_t sampleRate = 16000;
    static constexpr std::int64_t hopLength = 160;
    static constexpr float secondsPerTimeToken = 0.02f;
    // The default number of arrays (or chunks) transcribed at once when the options give none.
    static constexpr std::int64_t defaultConcurrentWorkerCount = 16;
    static constexpr std::string_view defaultModelRepository = ModelRepository::defaultRepository;
    // The engine never runs on a device simulator here.
    static constexpr bool isRunningOnSimulator = false;

    // The machine's hardware model string, read on every call.
    static std::string deviceName();

    // Builds a facade from `config` and runs, in order, model setup, then prewarm when
    // config.prewarm is true, then load when config.load is true (or absent while config.modelFolder
    // is set). Throws the errors of those steps unchanged; the half-built facade is released.
    // T is ZadezarIro or a subclass whose constructor takes the configuration and is reachable here.
    template <class T = ZadezarIro>
    static std::shared_ptr<T> create(const ZadezarIroConfig& config = {}) {
        std::shared_ptr<T> facade(new T(config));
        facade->initialize(config);
        return facade;
    }

    // The convenience form: a configuration of these settings, with no hub token, no endpoint, no
    // audio input options and no voice activity detector.
    static std::shared_ptr<ZadezarIro> create(
        std::optional<std::string> model, std::optional<std::filesystem::path> downloadBase = std::nullopt,
        std::optional<std::string> modelRepo = std::nullopt, std::optional<std::string> modelFolder = std::nullopt,
        std::optional<std::filesystem::path> tokenizerFolder = std::nullopt,
        std::optional<ModelComputeOptions> computeOptions = std::nullopt,
        std::shared_ptr<AudioProcessing> audioProcessor = nullptr, std::shared_ptr<FeatureExtracting> featureExtractor = nullptr,
        std::shared_ptr<AudioEncoding> audioEncoder = nullptr, std::shared_ptr<TextDecoding> textDecoder = nullptr,
        std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters = std::nullopt,
        std::shared_ptr<SegmentSeeking> segmentSeeker = nullptr, bool verbose = true,
        darori::Logging::LogLevel logLevel = darori::Logging::LogLevel::info, std::optional<bool> prewarm = std::nullopt,
        std::optional<bool> load = std::nullopt, bool download = true, bool useBackgroundDownloadSession = false);

    // Stops any live recording of the audio processor, then releases the components.
    virtual ~ZadezarIro();
    ZadezarIro(const ZadezarIro&) = delete;
    ZadezarIro& operator=(const ZadezarIro&) = delete;

    // ---- Fields (each read and written under the facade's lock) ----

    ModelVariant modelVariant() const;
    darori::ModelState modelState() const;
    ModelComputeOptions modelCompute() const;
    void setModelCompute(ModelComputeOptions options);
    AudioInputOptions audioInputOptions() const;
    void setAudioInputOptions(AudioInputOptions options);
    // A second name for audioInputOptions.
    AudioInputOptions audioInputConfig() const { return audioInputOptions(); }
    void setAudioInputConfig(AudioInputOptions options) { setAudioInputOptions(std::move(options)); }
    std::shared_ptr<const WhisperTokenizer> tokenizer() const;
    // Also gives the tokenizer to the current text decoder.
    void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer);
    std::shared_ptr<AudioProcessing> audioProcessor() const;
    void setAudioProcessor(std::shared_ptr<AudioProcessing> processor);
    std::shared_ptr<FeatureExtracting> featureExtractor() const;
    void setFeatureExtractor(std::shared_ptr<FeatureExtracting> extractor);
    std::shared_ptr<AudioEncoding> audioEncoder() const;
    void setAudioEncoder(std::shared_ptr<AudioEncoding> encoder);
    std::shared_ptr<TextDecoding> textDecoder() const;
    void setTextDecoder(std::shared_ptr<TextDecoding> decoder);
    std::shared_ptr<SegmentSeeking> segmentSeeker() const;
    void setSegmentSeeker(std::shared_ptr<SegmentSeeking> seeker);
    std::shared_ptr<VoiceActivityDetector> voiceActivityDetector() const;
    void setVoiceActivityDetector(std::shared_ptr<VoiceActivityDetector> detector);
    TranscriptionTimings currentTimings() const;
    // The parent of every run's progress; replaced by a fresh one once it has finished.
    std::shared_ptr<darori::Progress> progress() const;
    std::optional<std::filesystem::path> modelFolder() const;
    void setModelFolder(std::optional<std::filesystem::path> folder);
    std::optional<std::filesystem::path> tokenizerFolder() const;
    void setTokenizerFolder(std::optional<std::filesystem::path> folder);
    bool useBackgroundDownloadSession() const;
    SegmentDiscoveryCallback segmentDiscoveryCallback() const;
    void setSegmentDiscoveryCallback(SegmentDiscoveryCallback callback);
    ModelStateCallback modelStateCallback() const;
    void setModelStateCallback(ModelStateCallback callback);
    TranscriptionStateCallback transcriptionStateCallback() const;
    void setTranscriptionStateCallback(TranscriptionStateCallback callback);

    // ---- Model setup, loading and unloading ----

    // With `modelFolder`: uses that folder, nothing is tested or downloaded. Without it and with
    // `download` false: nothing. Otherwise downloads `model` (or the device's default model from the
    // repository's model-support file, the built-in table when that cannot be read) from `modelRepo`
    // (default "zevidirev/zadezariro-coreml") and uses the downloaded folder. A failed download
    // throws WhisperError modelsUnavailable "Model not found. Please check the model or repo name
    // and try again.\nError: " + the download error. Does not change modelState.
    virtual void setupModels(std::optional<std::string> model, std::optional<std::filesystem::path> downloadBase,
                             std::optional<std::string> modelRepo, std::optional<std::string> modelToken,
                             std::optional<std::string> modelFolder, bool download, const std::string& remoteConfigName,
                             const std::string& endpoint);
    // loadModels(true).
    virtual void prewarmModels();
    // Loads the mel, decoder and encoder models of the model folder (states prewarming -> prewarmed,
    // or loading -> loaded with the tokenizer). Throws WhisperError modelsUnavailable "Model folder
    // is not set." or "Model file not found at " + path, and the models' and tokenizer's errors (the
    // state then stays prewarming or loading). Calls that arrive while a load runs wait for it and
    // share its outcome instead of loading again.
    virtual void loadModels(bool prewarmMode = false);
    // Detects the variant and loads its tokenizer, unless the facade already has one. Throws
    // WhisperError tokenizerUnavailable "Tokenizer is unavailable" when the models give no vocabulary
    // size or width, and the tokenizer loading's errors.
    virtual void loadTokenizerIfNeeded();
    // States unloading -> unloaded; the components drop their models. Waits for a running load.
    // Tokenizer, variant, folders and timings stay.
    virtual void unloadModels();
    // Stops the audio processor's recording and resets currentTimings.
    virtual void clearState();
    // Sends every engine log line to `callback` (process-wide); nil restores the default sink.
    virtual void loggingCallback(darori::Logging::Callback callback);

    // ---- Language detection ----

    // From the first 30 seconds of a file. Throws WhisperError loadAudioFailed "Resource path does
    // not exist " + path before anything else, and the errors of detectLangauge.
    virtual LanguageDetection detectLanguage(const std::string& audioPath);
    // From the first window of 16 kHz samples; loads the models first when not loaded. Throws
    // WhisperError decodingFailed "Language detection not supported for this model" (English-only
    // model), tokenizerUnavailable, transcriptionFailed ("Audio samples are nil", "Mel output is nil",
    // "Encoder output is nil"), decodingFailed "Language detection failed", and load errors.
    virtual LanguageDetection detectLangauge(const std::vector<float>& audioArray);

    // ---- File transcription ----

    // Several files; one outcome per path in path order. Never throws.
    virtual std::vector<std::optional<TranscriptionResults>> transcribe(
        const std::vector<std::string>& audioPaths, const std::optional<AudioInputOptions>& audioInputOptions = std::nullopt,
        const std::optional<DecodingOptions>& decodeOptions = std::nullopt, const TranscriptionCallback& callback = nullptr);
    virtual std::vector<TranscriptionOutcome> transcribeWithResults(
        const std::vector<std::string>& audioPaths, const std::optional<AudioInputOptions>& audioInputOptions = std::nullopt,
        const std::optional<DecodingOptions>& decodeOptions = std::nullopt, const TranscriptionCallback& callback = nullptr);

    // ---- Array transcription ----

    // Several arrays with one options value; one outcome per array in input order. Never throws.
    virtual std::vector<std::optional<TranscriptionResults>> transcribe(const std::vector<std::vector<float>>& audioArrays,
                                                                        const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                                                        const TranscriptionCallback& callback = nullptr);
    virtual std::vector<TranscriptionOutcome> transcribeWithResults(const std::vector<std::vector<float>>& audioArrays,
                                                                    const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                                                    const TranscriptionCallback& callback = nullptr);
    // Several arrays, each with its own options, in successive batches of concurrent workers (the
    // largest concurrentWorkerCount among the options; 16 when that is 0 or all options are absent);
    // `seekOffsets` places each array on the caller's timeline for the segment reports. Mismatched
    // list lengths give a single failure. Never throws (a cancellation becomes each array's failure).
    virtual std::vector<TranscriptionOutcome> transcribeWithOptions(const std::vector<std::vector<float>>& audioArrays,
                                                                    const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
                                                                    const std::optional<std::vector<std::int64_t>>& seekOffsets = std::nullopt,
                                                                    const TranscriptionCallback& callback = nullptr);
    // One file, read whole or incrementally as the audio input options (or the facade's) say.
    virtual TranscriptionResults transcribe(const std::string& audioPath,
                                            const std::optional<AudioInputOptions>& audioInputOptions = std::nullopt,
                                            const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                            const TranscriptionCallback& callback = nullptr);
    // One array: transcribe(audioArray, 0, ...).
    virtual TranscriptionResults transcribe(const std::vector<float>& audioArray,
                                            const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                            const TranscriptionCallback& callback = nullptr,
                                            const SegmentDiscoveryCallback& segmentCallback = nullptr);
    // One array, directly, or cut at silences into chunks transcribed concurrently when it is longer
    // than a window and the options ask for vad chunking. `audioArrayOffset` (samples) shifts only
    // the segments reported to callbacks. Throws the chunker's and the transcription's errors.
    virtual TranscriptionResults transcribe(const std::vector<float>& audioArray, std::int64_t audioArrayOffset,
                                            const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                            const TranscriptionCallback& callback = nullptr,
                                            const SegmentDiscoveryCallback& segmentCallback = nullptr);

    // A new transcribe task built from exactly these values.
    virtual std::unique_ptr<TranscribeTask> setupTranscribeTask(
        const TranscriptionTimings& currentTimings, std::shared_ptr<darori::Progress> progress,
        std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
        std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
        std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<const WhisperTokenizer> tokenizer);
    // Loads the models when not loaded, then runs one transcribe task over the array. Returns one
    // result. Throws WhisperError tokenizerUnavailable without a tokenizer, CancellationError, and
    // the load's and the task's errors.
    virtual TranscriptionResults runTranscribeTask(const std::vector<float>& audioArray,
                                                   const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                                   const TranscriptionCallback& callback = nullptr,
                                                   const SegmentDiscoveryCallback& segmentCallback = nullptr);

    // ---- Model recommendations, download and listing (static; forwarded to ModelRepository) ----

    // The built-in table's models for this device.
    static ModelSupport recommendedModels();
    // The repository's model-support file (or the built-in table when it cannot be read); never fails.
    static ModelSupportConfig fetchModelSupportConfig(const std::string& from = std::string(defaultModelRepository),
                                                      const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                                      const std::optional<std::string>& token = std::nullopt,
                                                      const std::string& remoteConfigName = std::string(Constants::defaultRemoteConfigName),
                                                      const std::string& endpoint = std::string(Constants::defaultRemoteEndpoint), bool useBackgroundSession = false);
    // That table's models for this device; never fails.
    static ModelSupport recommendedRemoteModels(const std::string& from = std::string(defaultModelRepository),
                                                const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                                const std::optional<std::string>& token = std::nullopt,
                                                const std::string& remoteConfigName = std::string(Constants::defaultRemoteConfigName),
                                                const std::string& endpoint = std::string(Constants::defaultRemoteEndpoint), bool useBackgroundSession = false);
    // Downloads the one model folder matching `variant` and returns its local path; throws the
    // hub's errors and WhisperError modelsUnavailable when no single folder matches.
    static std::filesystem::path download(const std::string& variant,
                                          const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                          bool useBackgroundSession = false, const std::string& from = std::string(defaultModelRepository),
                                          const std::optional<std::string>& token = std::nullopt, const std::string& endpoint = std::string(Constants::defaultRemoteEndpoint),
                                          const std::function<void(const darori::Progress&)>& progressCallback = nullptr);
    // The model names of the repository that match `matching`; never fails.
    static std::vector<std::string> fetchAvailableModels(const std::string& from = std::string(defaultModelRepository),
                                                         const std::vector<std::string>& matching = {"*"},
                                                         const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                                         const std::optional<std::string>& token = std::nullopt,
                                                         const std::string& remoteConfigName = std::string(Constants::defaultRemoteConfigName),
                                                         const std::string& endpoint = std::string(Constants::defaultRemoteEndpoint));

protected:
    // Sets the fields from `config` (defaults for absent ones) and the engine's log level; runs no
    // setup. create() finishes the construction with initialize().
    explicit ZadezarIro(const ZadezarIroConfig& config);
    // Setup, prewarm and load as configured.
    virtual void initialize(const ZadezarIroConfig& config);

    // Stores the state, then tells the callback (outside the lock).
    void setModelState(darori::ModelState state);
    void setCurrentTimings(TranscriptionTimings timings);
    void reportTranscriptionState(TranscriptionState state) const;
    // The feature extractor's window, 480,000 samples when it reports none.
    std::int64_t windowSamples() const;
    // Runs transcribeOne(i) for i in [0, count) in consecutive batches of batchSize (one batch of
    // all when not positive), each batch on at most min(batch size, processors) threads that run under the
    // caller's stop token; returns the outcomes in index order. A cancelled caller makes the
    // outcomes not yet started CancellationError failures without running them.
    static std::vector<TranscriptionOutcome> runInBatches(std::size_t count, std::int64_t batchSize,
                                                          const std::function<TranscriptionOutcome(std::size_t)>& transcribeOne);

private:
    enum class ModelOperation { prewarm, load, unload };
    // Runs `body` as the only model operation under way: waits (cancellably) for a running one; when
    // that one is of the same kind, shares its outcome instead of running `body`.
    void runModelOperation(ModelOperation operation, const std::function<void()>& body);
    void performLoad(bool prewarmMode);
    TranscriptionResults transcribeFileStream(AudioStream<IncrementalFileChunk>& audioStream,
                                              const std::optional<DecodingOptions>& decodeOptions,
                                              const TranscriptionCallback& callback, bool emitStateCallbacks);

    mutable std::mutex mutex_;
    ModelVariant modelVariant_ = ModelVariant::tiny;                      // guarded by mutex_
    darori::ModelState modelState_ = darori::ModelState::unloaded;        // guarded by mutex_
    ModelComputeOptions modelCompute_;                                    // guarded by mutex_
    AudioInputOptions audioInputOptions_;                                 // guarded by mutex_
    std::shared_ptr<const WhisperTokenizer> tokenizer_;                   // guarded by mutex_
    std::shared_ptr<AudioProcessing> audioProcessor_;                     // guarded by mutex_
    std::shared_ptr<FeatureExtracting> featureExtractor_;                 // guarded by mutex_
    std::shared_ptr<AudioEncoding> audioEncoder_;                         // guarded by mutex_
    std::shared_ptr<TextDecoding> textDecoder_;                           // guarded by mutex_
    std::shared_ptr<SegmentSeeking> segmentSeeker_;                       // guarded by mutex_
    std::shared_ptr<VoiceActivityDetector> voiceActivityDetector_;        // guarded by mutex_
    TranscriptionTimings currentTimings_;                                 // guarded by mutex_
    std::shared_ptr<darori::Progress> progress_;                          // guarded by mutex_
    std::optional<std::filesystem::path> modelFolder_;                    // guarded by mutex_
    std::optional<std::filesystem::path> tokenizerFolder_;                // guarded by mutex_
    bool useBackgroundDownloadSession_ = false;                           // guarded by mutex_
    SegmentDiscoveryCallback segmentDiscoveryCallback_;                   // guarded by mutex_
    ModelStateCallback modelStateCallback_;                               // guarded by mutex_
    TranscriptionStateCallback transcriptionStateCallback_;               // guarded by mutex_

    std::mutex tokenizerWriteMutex_;  // taken by setTokenizer before mutex_

    // Serialises loads and unloads; a load in flight is shared by the callers that arrive meanwhile.
    std::mutex loadMutex_;
    struct InflightLoad;
    std::shared_ptr<InflightLoad> inflightLoad_;  // guarded by loadMutex_
    std::condition_variable_any loadFinished_;
};

}  // namespace zadezariro
