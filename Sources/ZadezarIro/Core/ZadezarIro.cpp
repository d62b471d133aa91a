// The facade's construction, fields, model setup, loading, unloading and tokenizer.
#include "ZadezarIro/Core/ZadezarIro.hpp"

#include <chrono>
#include <cstdio>
#include <thread>

#include "Cancellation/Cancellation.hpp"
#include "DaroriCore/External/Hub/HubError.hpp"
#include "DaroriCore/ModelUtilities.hpp"
#include "DaroriCore/NumberText.hpp"
#include "ZadezarIro/Core/Constants.hpp"
#include "ZadezarIro/Utilities/ModelUtilities.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace zadezariro {

namespace fs = std::filesystem;
using darori::Logging;
using darori::ModelState;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string twoDecimals(double value) { return darori::fixedText(value, 2); }

constexpr std::int64_t ENGLISH_ONLY_VOCABULARY = 51864;

}  // namespace

struct ZadezarIro::InflightLoad {
    ModelOperation operation;
    std::thread::id owner;
    bool done = false;
    std::exception_ptr error;
};

// ---- Construction ----

ZadezarIro::ZadezarIro(const ZadezarIroConfig& config)
    : modelCompute_(config.computeOptions.value_or(ModelComputeOptions{})),
      audioInputOptions_(config.audioInputConfig().value_or(AudioInputOptions{})),
      audioProcessor_(config.audioProcessor ? config.audioProcessor : std::make_shared<AudioProcessor>()),
      featureExtractor_(config.featureExtractor ? config.featureExtractor : std::make_shared<FeatureExtractor>()),
      audioEncoder_(config.audioEncoder ? config.audioEncoder : std::make_shared<AudioEncoder>()),
      textDecoder_(config.textDecoder ? config.textDecoder : std::make_shared<TextDecoder>()),
      segmentSeeker_(config.segmentSeeker ? config.segmentSeeker : std::make_shared<SegmentSeeker>()),
      voiceActivityDetector_(config.voiceActivityDetector),
      progress_(std::make_shared<darori::Progress>()),
      tokenizerFolder_(config.tokenizerFolder ? config.tokenizerFolder : config.downloadBase),
      useBackgroundDownloadSession_(config.useBackgroundDownloadSession) {
    if (config.logitsFilters) textDecoder_->setLogitsFilters(*config.logitsFilters);
    Logging::updateLogLevel(config.verbose ? config.logLevel : Logging::LogLevel::none);
}

void ZadezarIro::initialize(const ZadezarIroConfig& config) {
    setupModels(config.model, config.downloadBase, config.modelRepo, config.modelToken, config.modelFolder, config.download,
                std::string(Constants::defaultRemoteConfigName),
                config.modelEndpoint.value_or(std::string(Constants::defaultRemoteEndpoint)));
    if (config.prewarm.value_or(false)) {
        Logging::info("Prewarming models...");
        prewarmModels();
    }
    if (config.load.value_or(config.modelFolder.has_value())) {
        Logging::info("Loading models...");
        loadModels(false);
    }
}

std::shared_ptr<ZadezarIro> ZadezarIro::create(
    std::optional<std::string> model, std::optional<fs::path> downloadBase, std::optional<std::string> modelRepo,
    std::optional<std::string> modelFolder, std::optional<fs::path> tokenizerFolder, std::optional<ModelComputeOptions> computeOptions,
    std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<FeatureExtracting> featureExtractor,
    std::shared_ptr<AudioEncoding> audioEncoder, std::shared_ptr<TextDecoding> textDecoder,
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters, std::shared_ptr<SegmentSeeking> segmentSeeker,
    bool verbose, Logging::LogLevel logLevel, std::optional<bool> prewarm, std::optional<bool> load, bool download,
    bool useBackgroundDownloadSession) {
    ZadezarIroConfig config(std::move(model), std::move(downloadBase), std::move(modelRepo), std::nullopt, std::nullopt,
                            std::move(modelFolder), std::move(tokenizerFolder), computeOptions, std::nullopt,
                            std::move(audioProcessor), std::move(featureExtractor), std::move(audioEncoder),
                            std::move(textDecoder), std::move(logitsFilters), std::move(segmentSeeker), nullptr, verbose,
                            logLevel, prewarm, load, download, useBackgroundDownloadSession);
    return create<ZadezarIro>(config);
}

ZadezarIro::~ZadezarIro() {
    try {
        if (audioProcessor_) audioProcessor_->stopRecording();
    } catch (...) {
        // A processor that fails to stop is released all the same.
    }
}

// ---- Fields ----

#define ZADEZARIRO_GETTER(Type, name, member) \
    Type ZadezarIro::name() const {          \
        std::lock_guard guard(mutex_);       \
        return member;                       \
    }
#define ZADEZARIRO_SETTER(Type, name, member) \
    void ZadezarIro::name(Type value) {       \
        std::lock_guard guard(mutex_);        \
        std::swap(member, value);             \
    }

ZADEZARIRO_GETTER(ModelVariant, modelVariant, modelVariant_)
ZADEZARIRO_GETTER(ModelState, modelState, modelState_)
ZADEZARIRO_GETTER(ModelComputeOptions, modelCompute, modelCompute_)
ZADEZARIRO_SETTER(ModelComputeOptions, setModelCompute, modelCompute_)
ZADEZARIRO_GETTER(AudioInputOptions, audioInputOptions, audioInputOptions_)
ZADEZARIRO_SETTER(AudioInputOptions, setAudioInputOptions, audioInputOptions_)
ZADEZARIRO_GETTER(std::shared_ptr<const WhisperTokenizer>, tokenizer, tokenizer_)
ZADEZARIRO_GETTER(std::shared_ptr<AudioProcessing>, audioProcessor, audioProcessor_)
ZADEZARIRO_SETTER(std::shared_ptr<AudioProcessing>, setAudioProcessor, audioProcessor_)
ZADEZARIRO_GETTER(std::shared_ptr<FeatureExtracting>, featureExtractor, featureExtractor_)
ZADEZARIRO_SETTER(std::shared_ptr<FeatureExtracting>, setFeatureExtractor, featureExtractor_)
ZADEZARIRO_GETTER(std::shared_ptr<AudioEncoding>, audioEncoder, audioEncoder_)
ZADEZARIRO_SETTER(std::shared_ptr<AudioEncoding>, setAudioEncoder, audioEncoder_)
ZADEZARIRO_GETTER(std::shared_ptr<TextDecoding>, textDecoder, textDecoder_)
ZADEZARIRO_SETTER(std::shared_ptr<TextDecoding>, setTextDecoder, textDecoder_)
ZADEZARIRO_GETTER(std::shared_ptr<SegmentSeeking>, segmentSeeker, segmentSeeker_)
ZADEZARIRO_SETTER(std::shared_ptr<SegmentSeeking>, setSegmentSeeker, segmentSeeker_)
ZADEZARIRO_GETTER(std::shared_ptr<VoiceActivityDetector>, voiceActivityDetector, voiceActivityDetector_)
ZADEZARIRO_SETTER(std::shared_ptr<VoiceActivityDetector>, setVoiceActivityDetector, voiceActivityDetector_)
ZADEZARIRO_GETTER(TranscriptionTimings, currentTimings, currentTimings_)
ZADEZARIRO_SETTER(TranscriptionTimings, setCurrentTimings, currentTimings_)
ZADEZARIRO_GETTER(std::shared_ptr<darori::Progress>, progress, progress_)
ZADEZARIRO_GETTER(std::optional<fs::path>, modelFolder, modelFolder_)
ZADEZARIRO_SETTER(std::optional<fs::path>, setModelFolder, modelFolder_)
ZADEZARIRO_GETTER(std::optional<fs::path>, tokenizerFolder, tokenizerFolder_)
ZADEZARIRO_SETTER(std::optional<fs::path>, setTokenizerFolder, tokenizerFolder_)
ZADEZARIRO_GETTER(bool, useBackgroundDownloadSession, useBackgroundDownloadSession_)
ZADEZARIRO_GETTER(SegmentDiscoveryCallback, segmentDiscoveryCallback, segmentDiscoveryCallback_)
ZADEZARIRO_SETTER(SegmentDiscoveryCallback, setSegmentDiscoveryCallback, segmentDiscoveryCallback_)
ZADEZARIRO_GETTER(ModelStateCallback, modelStateCallback, modelStateCallback_)
ZADEZARIRO_SETTER(ModelStateCallback, setModelStateCallback, modelStateCallback_)
ZADEZARIRO_GETTER(TranscriptionStateCallback, transcriptionStateCallback, transcriptionStateCallback_)
ZADEZARIRO_SETTER(TranscriptionStateCallback, setTranscriptionStateCallback, transcriptionStateCallback_)

#undef ZADEZARIRO_GETTER
#undef ZADEZARIRO_SETTER

void ZadezarIro::setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) {
    // Writers take turns, so the decoder always ends with the facade's tokenizer; the decoder is
    // called outside the fields' lock, since a caller's own decoder may read the facade.
    std::lock_guard writer(tokenizerWriteMutex_);
    std::shared_ptr<TextDecoding> decoder;
    {
        std::lock_guard guard(mutex_);
        tokenizer_ = tokenizer;
        decoder = textDecoder_;
    }
    if (decoder) decoder->setTokenizer(std::move(tokenizer));
}

void ZadezarIro::setModelState(ModelState state) {
    ModelState previous;
    ModelStateCallback callback;
    {
        std::lock_guard guard(mutex_);
        previous = std::exchange(modelState_, state);
        callback = modelStateCallback_;
    }
    if (callback) callback(previous, state);
}

void ZadezarIro::reportTranscriptionState(TranscriptionState state) const {
    if (auto callback = transcriptionStateCallback()) callback(state);
}

std::int64_t ZadezarIro::windowSamples() const {
    return featureExtractor()->windowSamples().value_or(Constants::defaultWindowSamples);
}

void ZadezarIro::clearState() {
    audioProcessor()->stopRecording();
    setCurrentTimings(TranscriptionTimings{});
}

void ZadezarIro::loggingCallback(Logging::Callback callback) { Logging::updateCallback(std::move(callback)); }

// ---- Model setup ----

void ZadezarIro::setupModels(std::optional<std::string> model, std::optional<fs::path> downloadBase,
                             std::optional<std::string> modelRepo, std::optional<std::string> modelToken,
                             std::optional<std::string> modelFolder, bool download, const std::string& remoteConfigName,
                             const std::string& endpoint) {
    if (modelFolder) {
        setModelFolder(fs::path(*modelFolder));
        return;
    }
    if (!download) return;

    const std::string repo = modelRepo.value_or(std::string(defaultModelRepository));
    const bool background = useBackgroundDownloadSession();
    const std::string modelName =
        model ? *model
              : recommendedRemoteModels(repo, downloadBase, modelToken, remoteConfigName, endpoint, background).defaultModel;
    fs::path folder;
    try {
        folder = ZadezarIro::download(modelName, downloadBase, background, repo, modelToken, endpoint, nullptr);
    } catch (const cancellation::CancellationError&) {
        throw;
    } catch (...) {
        throw WhisperError::modelsUnavailable("Model not found. Please check the model or repo name and try again.\nError: " +
                                              darori::describeError(std::current_exception()));
    }
    setModelFolder(folder);
}

// ---- Loading and unloading ----

void ZadezarIro::runModelOperation(ModelOperation operation, const std::function<void()>& body) {
    const std::stop_token stop = cancellation::currentStopToken();
    std::unique_lock lock(loadMutex_);
    while (inflightLoad_) {
        const auto current = inflightLoad_;
        // The operation's own thread (a state callback that loads, say) runs nested work directly.
        if (current->owner == std::this_thread::get_id()) {
            lock.unlock();
            body();
            return;
        }
        Logging::debug("Waiting for the model operation under way");
        if (!loadFinished_.wait(lock, stop, [&] { return current->done; })) throw cancellation::CancellationError();
        if (current->operation == operation) {
            if (current->error) std::rethrow_exception(current->error);
            return;
        }
    }
    const auto mine = std::make_shared<InflightLoad>(InflightLoad{operation, std::this_thread::get_id(), false, nullptr});
    inflightLoad_ = mine;
    lock.unlock();

    std::exception_ptr error;
    try {
        body();
    } catch (...) {
        error = std::current_exception();
    }

    lock.lock();
    mine->done = true;
    mine->error = error;
    inflightLoad_.reset();
    lock.unlock();
    loadFinished_.notify_all();
    if (error) std::rethrow_exception(error);
}

void ZadezarIro::prewarmModels() { loadModels(true); }

void ZadezarIro::loadModels(bool prewarmMode) {
    runModelOperation(prewarmMode ? ModelOperation::prewarm : ModelOperation::load, [&] { performLoad(prewarmMode); });
}

void ZadezarIro::performLoad(bool prewarmMode) {
    setModelState(prewarmMode ? ModelState::prewarming : ModelState::loading);
    const auto start = std::chrono::steady_clock::now();

    const auto folder = modelFolder();
    if (!folder) throw WhisperError::modelsUnavailable("Model folder is not set.");
    Logging::debug("Loading models from " + folder->string() + " with prewarmMode: " + (prewarmMode ? "true" : "false"));

    const fs::path melPath = darori::ModelUtilities::detectModelURL(*folder, "MelSpectrogram");
    const fs::path encoderPath = darori::ModelUtilities::detectModelURL(*folder, "AudioEncoder");
    const fs::path decoderPath = darori::ModelUtilities::detectModelURL(*folder, "TextDecoder");
    for (const auto& path : {melPath, encoderPath, decoderPath}) {
        std::error_code ignored;
        if (!fs::exists(path, ignored)) throw WhisperError::modelsUnavailable("Model file not found at " + path.string());
    }

    const ModelComputeOptions compute = modelCompute();
    if (auto mel = std::dynamic_pointer_cast<WhisperMLModel>(featureExtractor())) {
        Logging::debug("Loading feature extractor");
        mel->loadModel(melPath, compute.melCompute, prewarmMode);
        Logging::debug("Loaded feature extractor");
    }
    // Loads one model, keeping its load time in the timings field `slot`.
    const auto loadTimed = [&](const std::shared_ptr<WhisperMLModel>& component, const std::string& name,
                               const fs::path& path, mlruntime::ComputeUnits units, double TranscriptionTimings::*slot) {
        Logging::debug("Loading " + name);
        const auto start = std::chrono::steady_clock::now();
        component->loadModel(path, units, prewarmMode);
        const double elapsed = secondsSince(start);
        {
            std::lock_guard guard(mutex_);
            currentTimings_.*slot = elapsed;
        }
        Logging::debug("Loaded " + name + " in " + twoDecimals(elapsed) + "s");
    };
    if (auto decoder = std::dynamic_pointer_cast<WhisperMLModel>(textDecoder()))
        loadTimed(decoder, "text decoder", decoderPath, compute.textDecoderCompute, &TranscriptionTimings::decoderLoadTime);
    if (auto encoder = std::dynamic_pointer_cast<WhisperMLModel>(audioEncoder()))
        loadTimed(encoder, "audio encoder", encoderPath, compute.audioEncoderCompute, &TranscriptionTimings::encoderLoadTime);

    if (prewarmMode) {
        setModelState(ModelState::prewarmed);
        std::lock_guard guard(mutex_);
        currentTimings_.prewarmLoadTime = secondsSince(start);
        return;
    }

    loadTokenizerIfNeeded();
    setModelState(ModelState::loaded);
    double loading = 0;
    {
        std::lock_guard guard(mutex_);
        currentTimings_.modelLoading = secondsSince(start) + currentTimings_.prewarmLoadTime;
        loading = currentTimings_.modelLoading;
    }
    Logging::info("Loaded models in " + twoDecimals(loading) + "s");
}

void ZadezarIro::loadTokenizerIfNeeded() {
    if (tokenizer()) {
        Logging::debug("Tokenizer already exists on ZadezarIro, skipping load");
        return;
    }
    const auto decoder = textDecoder();
    const auto logitsSize = decoder->logitsSize();
    const auto embedSize = audioEncoder()->embedSize();
    if (!logitsSize || !embedSize) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");

    decoder->setModelMultilingual(*logitsSize != ENGLISH_ONLY_VOCABULARY);
    const ModelVariant variant = ModelUtilities::detectVariant(*logitsSize, *embedSize);
    {
        std::lock_guard guard(mutex_);
        modelVariant_ = variant;
    }
    Logging::info("Loading tokenizer for whisper size: " + std::string(description(variant)));
    const auto start = std::chrono::steady_clock::now();

    std::vector<fs::path> searchPaths;
    if (const auto folder = modelFolder()) {
        searchPaths.push_back(*folder);
        searchPaths.push_back(*folder / darori::HubApiWrapper::rawValue(darori::HubApiWrapper::RepoType::models) /
                              ModelUtilities::tokenizerNameForVariant(variant));
    }
    auto loaded = ModelUtilities::loadTokenizer(variant, tokenizerFolder(), searchPaths, useBackgroundDownloadSession());

    const double elapsed = secondsSince(start);
    {
        std::lock_guard guard(mutex_);
        currentTimings_.tokenizerLoadTime = elapsed;
    }
    setTokenizer(std::move(loaded));
    Logging::debug("Loaded tokenizer in " + twoDecimals(elapsed) + "s");
}

void ZadezarIro::unloadModels() {
    runModelOperation(ModelOperation::unload, [&] {
        setModelState(ModelState::unloading);
        if (auto mel = std::dynamic_pointer_cast<WhisperMLModel>(featureExtractor())) mel->unloadModel();
        if (auto encoder = std::dynamic_pointer_cast<WhisperMLModel>(audioEncoder())) encoder->unloadModel();
        if (auto decoder = std::dynamic_pointer_cast<WhisperMLModel>(textDecoder())) decoder->unloadModel();
        setModelState(ModelState::unloaded);
        Logging::info("Unloaded all models");
    });
}

}  // namespace zadezariro
