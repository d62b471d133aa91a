// Speech to text for the controller.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zadezariro {
class ZadezarIro;
class ZadezarIroConfig;
struct DecodingOptions;
}  // namespace zadezariro

namespace talkweft {

// No speech model can be had: what() is one line for the user saying what is missing and what to
// do; reason() is the full cause, for the log.
class SpeechModelUnavailable : public std::runtime_error {
public:
    SpeechModelUnavailable(const std::string& message, std::string reason)
        : std::runtime_error(message), reason_(std::move(reason)) {}
    const std::string& reason() const { return reason_; }

private:
    std::string reason_;
};

// The controller may run prepare() and transcribe() at the same time on different threads (the
// preparation at launch or after a model change, and a recording's transcription): implementations
// make that safe.
class Transcriber {
public:
    virtual ~Transcriber() = default;

    // The speech-model name this transcriber serves.
    virtual const std::string& model() const = 0;

    // Makes the speech model ready; throws on failure (a later call tries again). Blocks; called
    // off the main thread. Honours the current task's cancellation where it can.
    virtual void prepare() = 0;

    // The transcript of 16 kHz mono samples; `language` is a language code, empty to detect it.
    // Prepares first and throws its failure; throws engine failures and CancellationError. Blocks;
    // called off the main thread.
    virtual std::string transcribe(const std::vector<float>& samples, const std::string& language) = 0;

    // Receives the fraction (0 to 1) of a model download that a preparation runs, on the
    // preparing thread. Set before the first preparation; transcribers that download nothing
    // ignore it.
    virtual void setDownloadProgressHandler(std::function<void(double)> handler) { (void)handler; }
};

// The application's transcriber: the speech engine for one model.
//
// Folders, below `base` (the application's model folder):
//   models/zevidirev/zadezariro-coreml/<model>/  the model folder, which the engine's download
//                                                fills too (the engine's download base is `base`)
//   models/openai/whisper-<variant>/             tokenizers (the engine's tokenizer folder is `base`),
//                                                and the cached standard checkpoints
// The other speech app MacWhisper keeps the same arrangement under
// ~/Library/Application Support/MacWhisper/models/zadezariro/models; a model it has and we lack
// is copied from there before anything is downloaded.
//
// A model that is not local is downloaded from the model hub (the endpoint given, else
// HUB_ENDPOINT). The engine's model repository holds models of another platform's format; when it
// has no such model, the standard checkpoint of the same Whisper model (checkpointFor) is fetched
// from the same hub and imported into the model folder under the model's name, so the next start
// finds it local. Failures to get a model are SpeechModelUnavailable.
//
// prepare() builds the engine once; a failed preparation leaves the transcriber unprepared, so
// the next call repeats it. Preparations are merged: a call while one runs waits for it and shares
// its outcome. The engine is held under a lock and shared with running transcriptions, so it stays
// alive until the last of them ends.
class WhisperTranscriber : public Transcriber {
public:
    // Builds the engine from its configuration (by default the real engine, construction included:
    // download, prewarm and load). Tests hand in their own.
    using EngineFactory = std::function<std::shared_ptr<zadezariro::ZadezarIro>(const zadezariro::ZadezarIroConfig&)>;

    // Stores the arguments; no file or engine work. `endpoint`: the model hub's address; absent:
    // HUB_ENDPOINT, else none.
    WhisperTranscriber(std::string model, std::filesystem::path base, EngineFactory makeEngine = nullptr,
                       std::optional<std::string> endpoint = std::nullopt);

    const std::string& model() const override { return model_; }
    const std::filesystem::path& base() const { return base_; }

    // A new, unprepared transcriber for `model` with this one's folder, engine factory, endpoint
    // and progress handler.
    std::shared_ptr<WhisperTranscriber> withModel(std::string model) const;

    // Nothing when prepared; waits for a preparation under way and shares its outcome. Otherwise:
    // refuses a model name that is not a single folder name (std::invalid_argument), imports the
    // model from MacWhisper when possible, creates `base` (throws the file system's error), logs
    // "whisper: loading <model> local=<true|false>", downloads a model that is not local (above;
    // progress to the handler, SpeechModelUnavailable when none can be had, CancellationError when
    // cancelled), builds the engine (throws its errors unchanged) and logs "whisper: ready".
    void prepare() override;

    void setDownloadProgressHandler(std::function<void(double)> handler) override;

    // prepare(), then the engine's transcription of the samples with the application's decoding
    // options; the texts of the results joined by one blank, trimmed at both ends. Throws the
    // preparation's and the engine's errors unchanged (CancellationError included).
    std::string transcribe(const std::vector<float>& samples, const std::string& language) override;

    // The model folder: base/models/zevidirev/zadezariro-coreml/<model>.
    std::filesystem::path modelFolder() const;

    // True when `folder` holds a whole model: config.json and the MelSpectrogram, AudioEncoder and
    // TextDecoder models, each with every file it consists of. An interrupted copy or download is
    // not a model. Reads the file system only.
    static bool isCompleteModelFolder(const std::filesystem::path& folder);

    // The decoding options of every transcription: greedy with temperature fallback, no
    // timestamps, `language` or (empty) detection.
    static zadezariro::DecodingOptions decodingOptions(const std::string& language);

    // MacWhisper's model root under the user's home folder ($HOME, read on every call).
    static std::filesystem::path macWhisperRoot();

    // The hub repository of the standard checkpoint of the Whisper model `model` names:
    // "openai_whisper-<variant>" is "openai/whisper-<variant>", a size suffix "_<n>MB" (a
    // compressed form of the other platform) dropped, and "openai_whisper-large-v3-v20240930"
    // is the large-v3 turbo model "openai/whisper-large-v3-turbo". Nothing for other names.
    static std::optional<std::string> checkpointFor(const std::string& model);

private:
    struct Preparation {
        bool done = false;
        std::exception_ptr error;
    };
    void runPreparation();
    void importFromMacWhisper();
    std::filesystem::path download();
    std::filesystem::path importCheckpoint(const std::string& checkpoint);
    void reportProgress(double fraction) const;
    std::shared_ptr<zadezariro::ZadezarIro> engine() const;

    const std::string model_;
    const std::filesystem::path base_;
    const EngineFactory makeEngine_;
    const std::optional<std::string> endpoint_;
    mutable std::mutex mutex_;
    std::condition_variable_any prepared_;
    std::shared_ptr<zadezariro::ZadezarIro> pipe_;  // guarded by mutex_; set once, by a successful prepare()
    std::shared_ptr<Preparation> running_;          // guarded by mutex_; the preparation under way
    std::function<void(double)> progress_;          // guarded by mutex_
};

}  // namespace talkweft
