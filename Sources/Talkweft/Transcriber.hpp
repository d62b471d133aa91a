// Speech to text for the controller.
#pragma once

#include <string>
#include <vector>

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

// The application's transcriber until the speech engine is built in: preparing always fails with
// "Speech model failed to load", so every transcription fails the same way.
class WhisperTranscriber : public Transcriber {
public:
    WhisperTranscriber(std::string model, std::string base) : model_(std::move(model)), base_(std::move(base)) {}

    const std::string& model() const override { return model_; }
    const std::string& base() const { return base_; }
    void prepare() override;
    std::string transcribe(const std::vector<float>& samples, const std::string& language) override;

private:
    std::string model_;
    std::string base_;
};

}  // namespace talkweft
