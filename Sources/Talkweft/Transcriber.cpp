#include "Talkweft/Transcriber.hpp"

#include <cstdlib>
#include <regex>
#include <stdexcept>
#include <system_error>

#include <unistd.h>

#include "Cancellation/Cancellation.hpp"
#include "DaroriCore/External/Hub/HubError.hpp"
#include "DaroriCore/External/Hub/URLSession.hpp"
#include "DaroriCore/ModelUtilities.hpp"
#include "Talkweft/Log.hpp"
#include "Talkweft/Paths.hpp"
#include "Unicode/Unicode.hpp"
#include "ZadezarIro/Core/Constants.hpp"
#include "ZadezarIro/Core/DecodingOptions.hpp"
#include "ZadezarIro/Core/ModelImport.hpp"
#include "ZadezarIro/Core/ModelRepository.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"
#include "ZadezarIro/Core/ZadezarIro.hpp"
#include "ZadezarIro/Core/ZadezarIroConfig.hpp"

namespace talkweft {

namespace fs = std::filesystem;

namespace {

// Where the model repository's folders lie below a model root (ours or MacWhisper's).
const fs::path REPOSITORY = fs::path("zevidirev") / "zadezariro-coreml";
const char* const MODEL_FILES[] = {"MelSpectrogram", "AudioEncoder", "TextDecoder"};
// Folders being copied in are named "<name><marker><random>" beside their destination.
constexpr const char* IMPORT_MARKER = ".import-";

// One import at a time in this process: an import removes the leftovers of interrupted ones, which
// must not be the folder another import is filling.
std::mutex& importMutex() {
    static std::mutex mutex;
    return mutex;
}

bool isFile(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

// A model name is one folder name: anything else would put the model folder elsewhere.
void checkModelName(const std::string& model) {
    const bool bad = model.empty() || model == "." || model == ".." || model.find('/') != std::string::npos ||
                     model.find('\\') != std::string::npos || model.find('\0') != std::string::npos;
    if (bad) throw std::invalid_argument("Invalid speech model name \"" + model + "\": a model name is a single folder name");
}

// Removes folders left by imports into `parent` that never finished.
void removeLeftovers(const fs::path& parent, const std::string& name) {
    std::error_code ec;
    const std::string prefix = "." + name + IMPORT_MARKER;
    for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename().string().rfind(prefix, 0) == 0) {
            std::error_code ignored;
            fs::remove_all(it->path(), ignored);
        }
    }
}

// Copies the tree `source` to `target` so that `target` appears only once whole: the copy goes to
// a hidden folder beside it, which is then renamed. A `target` that exists is replaced (moved
// aside, then removed); on failure it is left as it was and the unfinished copy removed. Throws
// std::filesystem::filesystem_error.
void copyTreeAtomically(const fs::path& source, const fs::path& target) {
    const fs::path parent = target.parent_path();
    const std::string name = target.filename().string();
    removeLeftovers(parent, name);
    std::string pattern = (parent / ("." + name + IMPORT_MARKER + "XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) {
        throw fs::filesystem_error("cannot create a folder to import into", parent, std::error_code(errno, std::generic_category()));
    }
    const fs::path staging = pattern;
    const fs::path old = staging.string() + "-old";
    try {
        // Links are followed: the copy holds the files themselves, whatever becomes of the source.
        fs::copy(source, staging, fs::copy_options::recursive);
        std::error_code ec;
        const bool replacing = fs::exists(fs::symlink_status(target, ec));
        if (replacing) fs::rename(target, old);
        try {
            fs::rename(staging, target);
        } catch (...) {
            if (replacing) fs::rename(old, target, ec);
            throw;
        }
        if (replacing) fs::remove_all(old, ec);
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(staging, ignored);
        throw;
    }
}

// Why a model could not be had from the hub.
enum class Failure { noEndpoint, notFound, unreachable, other };

Failure classify(const std::exception_ptr& error) {
    using Kind = darori::Hub::HubClientError::Kind;
    try {
        std::rethrow_exception(error);
    } catch (const darori::Hub::HubClientError& e) {
        switch (e.kind()) {
            case Kind::endpointMissing: return Failure::noEndpoint;
            case Kind::fileNotFound:
            case Kind::resourceNotFound:
            case Kind::authorizationRequired: return Failure::notFound;
            case Kind::httpStatusCode: return e.statusCode() == 404 ? Failure::notFound : Failure::unreachable;
            case Kind::downloadError:
            case Kind::networkError:
            case Kind::unexpectedError: return Failure::unreachable;
            default: return Failure::other;
        }
    } catch (const zadezariro::WhisperError& e) {
        return e.kind() == zadezariro::WhisperError::Kind::modelsUnavailable ? Failure::notFound : Failure::other;
    } catch (const darori::URLError&) {
        return Failure::unreachable;
    } catch (...) {
        return Failure::other;
    }
}

constexpr const char* CHOOSE = "Settings › General › Whisper model";

// The one-line message for a model that could not be had, with the full reason for the log.
[[noreturn]] void throwUnavailable(Failure failure, const std::string& model, const std::exception_ptr& error) {
    const std::string reason = darori::describeError(error);
    switch (failure) {
        case Failure::noEndpoint:
            throw SpeechModelUnavailable(std::string("No speech model: set HUB_ENDPOINT to the model hub's address, or import one "
                                                     "with talkweft --import-model and choose it under ") + CHOOSE,
                                         reason);
        case Failure::notFound:
            throw SpeechModelUnavailable("Speech model \"" + model + "\" is not on the model hub: choose another under " + CHOOSE +
                                             ", or import one with talkweft --import-model",
                                         reason);
        case Failure::unreachable:
            throw SpeechModelUnavailable(std::string("Cannot download the speech model: check the network and HUB_ENDPOINT, or "
                                                     "import one with talkweft --import-model and choose it under ") + CHOOSE,
                                         reason);
        case Failure::other: break;
    }
    std::rethrow_exception(error);
}

}  // namespace

WhisperTranscriber::WhisperTranscriber(std::string model, fs::path base, EngineFactory makeEngine,
                                       std::optional<std::string> endpoint)
    : model_(std::move(model)),
      base_(std::move(base)),
      makeEngine_(makeEngine ? std::move(makeEngine)
                             : EngineFactory([](const zadezariro::ZadezarIroConfig& config) {
                                   return zadezariro::ZadezarIro::create(config);
                               })),
      endpoint_(std::move(endpoint)) {}

std::shared_ptr<WhisperTranscriber> WhisperTranscriber::withModel(std::string model) const {
    auto next = std::make_shared<WhisperTranscriber>(std::move(model), base_, makeEngine_, endpoint_);
    std::lock_guard lock(mutex_);
    next->progress_ = progress_;
    return next;
}

void WhisperTranscriber::setDownloadProgressHandler(std::function<void(double)> handler) {
    std::lock_guard lock(mutex_);
    progress_ = std::move(handler);
}

void WhisperTranscriber::reportProgress(double fraction) const {
    std::function<void(double)> handler;
    {
        std::lock_guard lock(mutex_);
        handler = progress_;
    }
    if (handler) handler(fraction);
}

std::optional<std::string> WhisperTranscriber::checkpointFor(const std::string& model) {
    static const std::regex standard(R"(openai_whisper-([A-Za-z0-9.\-]+?)(_[0-9]+MB)?)");
    std::smatch match;
    if (!std::regex_match(model, match, standard)) return std::nullopt;
    const std::string variant = match[1].str();
    // The turbo model of 2024-09-30 is published under its own name.
    if (variant == "large-v3-v20240930") return "openai/whisper-large-v3-turbo";
    return "openai/whisper-" + variant;
}

fs::path WhisperTranscriber::modelFolder() const { return base_ / "models" / REPOSITORY / model_; }

fs::path WhisperTranscriber::macWhisperRoot() {
    fs::path home;
    if (const char* h = std::getenv("HOME"); h && *h) home = h;
    else home = Paths::home();
    return home / "Library/Application Support/MacWhisper/models/zadezariro/models";
}

bool WhisperTranscriber::isCompleteModelFolder(const fs::path& folder) {
    if (!isFile(folder / "config.json")) return false;
    for (const char* name : MODEL_FILES) {
        const fs::path model = darori::ModelUtilities::detectModelURL(folder, name);
        std::error_code ec;
        if (fs::is_directory(model, ec)) {
            // A compiled model is its description and its weights.
            if (!isFile(model / "model.json") || !isFile(model / "weights.bin")) return false;
        } else if (!isFile(model)) {
            return false;
        }
    }
    return true;
}

zadezariro::DecodingOptions WhisperTranscriber::decodingOptions(const std::string& language) {
    std::optional<std::string> code;
    if (!language.empty()) code = language;
    return zadezariro::DecodingOptions::make({
        .verbose = false,
        .task = zadezariro::DecodingTask::transcribe,
        .language = code,
        .temperature = 0.0f,
        .temperatureIncrementOnFallback = 0.2f,
        .temperatureFallbackCount = 5,
        .sampleLength = zadezariro::Constants::maxTokenContext,
        .topK = 5,
        .usePrefillPrompt = true,
        .detectLanguage = !code.has_value(),
        .skipSpecialTokens = true,
        .withoutTimestamps = true,
        .wordTimestamps = false,
        .maxInitialTimestamp = std::nullopt,
        .maxWindowSeek = std::nullopt,
        .clipTimestamps = {},
        .windowClipTime = 1.0f,
        .promptTokens = std::nullopt,
        .prefixTokens = std::nullopt,
        .suppressBlank = false,
        .suppressTokens = std::nullopt,
        .compressionRatioThreshold = 2.4f,
        .logProbThreshold = -1.0f,
        .firstTokenLogProbThreshold = -1.5f,
        .noSpeechThreshold = 0.6f,
        .concurrentWorkerCount = std::nullopt,
        .chunkingStrategy = std::nullopt,
    });
}

void WhisperTranscriber::importFromMacWhisper() {
    const fs::path root = macWhisperRoot();
    const fs::path source = root / REPOSITORY / model_;
    const fs::path target = modelFolder();
    // A whole model of our own stays; a folder that is not one (an interrupted copy or download)
    // is replaced when MacWhisper has the whole model.
    if (isCompleteModelFolder(target)) return;
    if (!isCompleteModelFolder(source)) return;
    std::lock_guard lock(importMutex());
    if (isCompleteModelFolder(target)) return;  // another preparation imported it meanwhile
    try {
        fs::create_directories(target.parent_path());
        copyTreeAtomically(source, target);
        const fs::path tokenizerSource = root / "openai";
        const fs::path tokenizerTarget = base_ / "models" / "openai";
        std::error_code ec;
        if (fs::exists(tokenizerSource, ec) && !fs::exists(tokenizerTarget, ec)) copyTreeAtomically(tokenizerSource, tokenizerTarget);
        Log::write("whisper: imported model from MacWhisper");
    } catch (const std::exception& e) {
        Log::write(std::string("whisper: MacWhisper import failed: ") + e.what());
    }
}

std::shared_ptr<zadezariro::ZadezarIro> WhisperTranscriber::engine() const {
    std::lock_guard lock(mutex_);
    return pipe_;
}

void WhisperTranscriber::prepare() {
    std::shared_ptr<Preparation> mine;
    {
        std::unique_lock lock(mutex_);
        if (pipe_) return;
        if (running_) {
            // Another call prepares this model now (a download perhaps): its outcome is ours.
            const auto theirs = running_;
            Log::write("whisper: waiting for the preparation under way");
            if (!prepared_.wait(lock, cancellation::currentStopToken(), [&] { return theirs->done; }))
                throw cancellation::CancellationError();
            if (theirs->error) std::rethrow_exception(theirs->error);
            return;
        }
        mine = running_ = std::make_shared<Preparation>();
    }
    std::exception_ptr error;
    try {
        runPreparation();
    } catch (...) {
        error = std::current_exception();
    }
    {
        std::lock_guard lock(mutex_);
        mine->done = true;
        mine->error = error;
        running_.reset();
    }
    prepared_.notify_all();
    if (error) std::rethrow_exception(error);
}

void WhisperTranscriber::runPreparation() {
    checkModelName(model_);
    importFromMacWhisper();
    fs::create_directories(base_);
    fs::path folder = modelFolder();
    const bool local = isCompleteModelFolder(folder);
    Log::write("whisper: loading " + model_ + " local=" + (local ? "true" : "false"));
    if (!local) folder = download();

    zadezariro::ZadezarIroConfig config(
        /*model*/ model_, /*downloadBase*/ base_, /*modelRepo*/ std::nullopt, /*modelToken*/ std::nullopt,
        /*modelEndpoint*/ endpoint_, /*modelFolder*/ folder.string(),
        /*tokenizerFolder*/ base_, /*computeOptions*/ std::nullopt, /*audioInputConfig*/ std::nullopt,
        /*audioProcessor*/ nullptr, /*featureExtractor*/ nullptr, /*audioEncoder*/ nullptr, /*textDecoder*/ nullptr,
        /*logitsFilters*/ std::nullopt, /*segmentSeeker*/ nullptr, /*voiceActivityDetector*/ nullptr,
        /*verbose*/ false, /*logLevel*/ darori::Logging::LogLevel::error, /*prewarm*/ true, /*load*/ true,
        /*download*/ false, /*useBackgroundDownloadSession*/ false);
    auto built = makeEngine_(config);
    {
        std::lock_guard lock(mutex_);
        pipe_ = std::move(built);
    }
    Log::write("whisper: ready");
}

fs::path WhisperTranscriber::download() {
    const std::string endpoint = endpoint_.value_or("");
    std::exception_ptr error;
    try {
        return zadezariro::ModelRepository::download(
            model_, base_, false, std::string(zadezariro::ModelRepository::defaultRepository), std::nullopt, endpoint,
            [this](const darori::Progress& progress) { reportProgress(progress.fractionCompleted()); });
    } catch (const cancellation::CancellationError&) {
        throw;
    } catch (...) {
        if (cancellation::isCancelled()) throw cancellation::CancellationError();
        error = std::current_exception();
    }
    const Failure failure = classify(error);
    const auto checkpoint = checkpointFor(model_);
    if (failure != Failure::notFound || !checkpoint) throwUnavailable(failure, model_, error);
    Log::write("whisper: " + model_ + " is not in the model repository (" + darori::describeError(error) +
               "); importing the checkpoint " + *checkpoint);
    return importCheckpoint(*checkpoint);
}

fs::path WhisperTranscriber::importCheckpoint(const std::string& checkpoint) {
    zadezariro::ModelImport::Options options;
    options.base = base_;
    options.endpoint = endpoint_;
    options.stop = cancellation::currentStopToken();
    options.progress = [this](double fraction) { reportProgress(fraction); };
    try {
        std::lock_guard lock(importMutex());
        const fs::path folder = zadezariro::ModelImport::importModel(checkpoint, model_, options);
        // The files fetched, as the hub client cached them.
        std::error_code ec;
        const fs::path cached = base_ / "models" / checkpoint;
        for (fs::recursive_directory_iterator it(cached, ec), end; !ec && it != end; it.increment(ec)) {
            if (it->path().filename().string().front() == '.') {
                if (it->is_directory(ec)) it.disable_recursion_pending();
                continue;
            }
            if (it->is_regular_file(ec))
                Log::write("whisper: fetched " + checkpoint + "/" + it->path().lexically_relative(cached).string() + " (" +
                           std::to_string(it->file_size(ec)) + " bytes)");
        }
        Log::write("whisper: imported " + checkpoint + " as " + model_);
        return folder;
    } catch (const cancellation::CancellationError&) {
        throw;
    } catch (...) {
        if (cancellation::isCancelled()) throw cancellation::CancellationError();
        const auto error = std::current_exception();
        throwUnavailable(classify(error), model_, error);
    }
}

std::string WhisperTranscriber::transcribe(const std::vector<float>& samples, const std::string& language) {
    prepare();
    const auto pipe = engine();
    if (!pipe) return {};
    const auto results = pipe->transcribe(samples, std::optional<zadezariro::DecodingOptions>(decodingOptions(language)),
                                          nullptr, nullptr);
    std::string joined;
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (i) joined += " ";
        if (results[i]) joined += results[i]->text();
    }
    return unicode::trimWhitespace(joined);
}

}  // namespace talkweft
