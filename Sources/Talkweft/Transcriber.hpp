// Speech to text for the controller.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zadezariro {
class ZadezarIro;
class ZadezarIroConfig;
struct DecodingOptions;
}  // namespace zadezariro

namespace talkweft {

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
};

// The application's transcriber: the speech engine for one model.
//
// Folders, below `base` (the application's model folder):
//   models/zevidirev/zadezariro-coreml/<model>/  the model folder, which the engine's download
//                                                fills too (the engine's download base is `base`)
//   models/openai/whisper-<variant>/             tokenizers (the engine's tokenizer folder is `base`)
// The other speech app MacWhisper keeps the same arrangement under
// ~/Library/Application Support/MacWhisper/models/zadezariro/models; a model it has and we lack
// is copied from there before the engine would download it.
//
// prepare() builds the engine once; a failed preparation leaves the transcriber unprepared, so
// the next call repeats it. Preparations are not merged: two that overlap each build an engine
// and the one stored last is kept. The engine is held under a lock and shared with running
// transcriptions, so it stays alive until the last of them ends.
class WhisperTranscriber : public Transcriber {
public:
    // Builds the engine from its configuration (by default the real engine, construction included:
    // download, prewarm and load). Tests hand in their own.
    using EngineFactory = std::function<std::shared_ptr<zadezariro::ZadezarIro>(const zadezariro::ZadezarIroConfig&)>;

    // Stores the arguments; no file or engine work.
    WhisperTranscriber(std::string model, std::filesystem::path base, EngineFactory makeEngine = nullptr);

    const std::string& model() const override { return model_; }
    const std::filesystem::path& base() const { return base_; }

    // A new, unprepared transcriber for `model` with this one's folder and engine factory.
    std::shared_ptr<WhisperTranscriber> withModel(std::string model) const;

    // Nothing when prepared. Otherwise: refuses a model name that is not a single folder name
    // (std::invalid_argument), imports the model from MacWhisper when possible, creates `base`
    // (throws the file system's error), logs "whisper: loading <model> local=<true|false>", builds
    // the engine (throws its errors unchanged) and logs "whisper: ready".
    void prepare() override;

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

private:
    void importFromMacWhisper();
    std::shared_ptr<zadezariro::ZadezarIro> engine() const;

    const std::string model_;
    const std::filesystem::path base_;
    const EngineFactory makeEngine_;
    mutable std::mutex mutex_;
    std::shared_ptr<zadezariro::ZadezarIro> pipe_;  // guarded by mutex_; set once, by a successful prepare()
};

}  // namespace talkweft
