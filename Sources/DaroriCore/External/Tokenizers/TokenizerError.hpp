// The tokenizers' error: one exception class whose kind says what went wrong.
#pragma once

#include <stdexcept>
#include <string>

namespace darori {

// Thrown while a tokenizer or its model is being built (never while encoding or decoding).
// what() and errorDescription() give the user-visible description of the case.
class TokenizerError : public std::runtime_error {
public:
    enum class Kind {
        unsupportedTokenizer,           // payload: the class name
        tooLong,                        // payload: a message
        mismatchedConfig,               // payload: a message
        missingConfig,
        missingTokenizerClassInConfig,
        missingVocab,
        malformedVocab,
    };

    static TokenizerError unsupportedTokenizer(std::string name) { return {Kind::unsupportedTokenizer, std::move(name)}; }
    static TokenizerError tooLong(std::string message) { return {Kind::tooLong, std::move(message)}; }
    static TokenizerError mismatchedConfig(std::string message) { return {Kind::mismatchedConfig, std::move(message)}; }
    static TokenizerError missingConfig() { return {Kind::missingConfig, {}}; }
    static TokenizerError missingTokenizerClassInConfig() { return {Kind::missingTokenizerClassInConfig, {}}; }
    static TokenizerError missingVocab() { return {Kind::missingVocab, {}}; }
    static TokenizerError malformedVocab() { return {Kind::malformedVocab, {}}; }

    Kind kind() const noexcept { return kind_; }
    // The class name or message the case carries; empty for the cases without one.
    const std::string& payload() const noexcept { return payload_; }
    std::string errorDescription() const { return what(); }

    // "The tokenizer type 'X' is not supported.", "Input is too long: ...", and so on.
    static std::string describe(Kind kind, const std::string& payload);

private:
    TokenizerError(Kind kind, std::string payload)
        : std::runtime_error(describe(kind, payload)), kind_(kind), payload_(std::move(payload)) {}
    Kind kind_;
    std::string payload_;
};

}  // namespace darori
