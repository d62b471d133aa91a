// The speech engine's one error type. Every case carries a human-readable message, which is the
// error's description; reading the description writes the message to the engine log at error level.
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace zadezariro {

class WhisperError : public std::exception {
public:
    enum class Kind {
        tokenizerUnavailable,
        modelsUnavailable,
        audioProcessingFailed,
        decodingLogitsFailed,
        segmentingFailed,
        loadAudioFailed,
        prepareDecoderInputsFailed,
        transcriptionFailed,
        decodingFailed,
        microphoneUnavailable,
        initializationError,
    };

    WhisperError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    static WhisperError tokenizerUnavailable(std::string m = "Tokenizer is unavailable") { return {Kind::tokenizerUnavailable, std::move(m)}; }
    static WhisperError modelsUnavailable(std::string m = "Models are unavailable") { return {Kind::modelsUnavailable, std::move(m)}; }
    static WhisperError audioProcessingFailed(std::string m) { return {Kind::audioProcessingFailed, std::move(m)}; }
    static WhisperError decodingLogitsFailed(std::string m = "Unable to decode logits") { return {Kind::decodingLogitsFailed, std::move(m)}; }
    static WhisperError segmentingFailed(std::string m) { return {Kind::segmentingFailed, std::move(m)}; }
    static WhisperError loadAudioFailed(std::string m) { return {Kind::loadAudioFailed, std::move(m)}; }
    static WhisperError prepareDecoderInputsFailed(std::string m) { return {Kind::prepareDecoderInputsFailed, std::move(m)}; }
    static WhisperError transcriptionFailed(std::string m) { return {Kind::transcriptionFailed, std::move(m)}; }
    static WhisperError decodingFailed(std::string m) { return {Kind::decodingFailed, std::move(m)}; }
    static WhisperError microphoneUnavailable(std::string m) { return {Kind::microphoneUnavailable, std::move(m)}; }
    static WhisperError initializationError(std::string m) { return {Kind::initializationError, std::move(m)}; }

    Kind kind() const noexcept { return kind_; }
    // The message as given, without logging.
    const std::string& message() const noexcept { return message_; }

    // The message; each call logs it once at error level through the engine logger.
    std::string errorDescription() const;
    // The message, without logging (exceptions are described in many places that are not a display).
    const char* what() const noexcept override { return message_.c_str(); }

    // Same case and equal messages.
    friend bool operator==(const WhisperError& a, const WhisperError& b) {
        return a.kind_ == b.kind_ && a.message_ == b.message_;
    }

private:
    Kind kind_;
    std::string message_;
};

}  // namespace zadezariro
