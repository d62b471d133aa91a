// The engine's tokenizer: the loaded tokenizer with Whisper's special tokens and language tokens
// resolved once, and the split of decoded tokens into words for word timestamps.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "DaroriCore/TokenizerWrapper.hpp"

namespace zadezariro {

// The ids of Whisper's special tokens. Every id at or above specialTokenBegin is special or a
// timestamp; every id at or above timeTokenBegin is a timestamp (0.02 s per step).
struct SpecialTokens {
    std::int64_t endToken = 50257;                // "<|endoftext|>"
    std::int64_t englishToken = 50259;            // "<|en|>"
    std::int64_t noSpeechToken = 50362;           // "<|nospeech|>"
    std::int64_t noTimestampsToken = 50363;       // "<|notimestamps|>"
    std::int64_t specialTokenBegin = 50257;       // "<|endoftext|>"
    std::int64_t startOfPreviousToken = 50361;    // "<|startofprev|>"
    std::int64_t startOfTranscriptToken = 50258;  // "<|startoftranscript|>"
    std::int64_t timeTokenBegin = 50364;          // "<|0.00|>"
    std::int64_t transcribeToken = 50359;         // "<|transcribe|>"
    std::int64_t translateToken = 50358;          // "<|translate|>"
    std::int64_t whitespaceToken = 220;           // " "

    bool operator==(const SpecialTokens&) const = default;
};

// The three layouts of Whisper vocabularies: the ids of their special tokens differ.
enum class VocabularyLayout {
    englishOnly,   // 51,864 ids: every special id one below the multilingual one
    multilingual,  // 51,865 ids: the first multilingual models
    multilingualV3,  // 51,866 ids: one more language ("<|yue|>"), so ids from "<|translate|>" on are one higher
};

// The special ids of a layout (SpecialTokens{} is the multilingual one).
SpecialTokens fallbackSpecialTokens(VocabularyLayout layout);

// Word texts and, per word, the ids that make it up; equal lengths, input order.
using WordSplit = std::pair<std::vector<std::string>, std::vector<std::vector<int>>>;

class WhisperTokenizer {
public:
    virtual ~WhisperTokenizer() = default;
    virtual std::vector<int> encode(const std::string& text) const = 0;
    // Special tokens stay in the text as their own token texts.
    virtual std::string decode(const std::vector<int>& tokens) const = 0;
    virtual std::optional<int> convertTokenToId(const std::string& token) const = 0;
    virtual std::optional<std::string> convertIdToToken(int id) const = 0;
    virtual const SpecialTokens& specialTokens() const = 0;
    virtual const std::unordered_set<int>& allLanguageTokens() const = 0;
    // The ids grouped into words: per complete character for languages written without spaces
    // (Chinese, Japanese, Thai, Lao, Burmese, Cantonese), else into space-separated words in which
    // special tokens and lone punctuation marks stand alone.
    virtual WordSplit splitToWordTokens(const std::vector<int>& tokenIds) const = 0;
};

// Immutable after construction; usable from several threads as far as the wrapped tokenizer is.
class WhisperTokenizerWrapper : public WhisperTokenizer {
public:
    // Resolves each special token's id from its text; a text the vocabulary lacks (the tokenizer
    // answers none, or only its unknown token's id) takes the id of the vocabulary's own layout
    // (detectLayout), so the blank is 220, not the unknown "<|endoftext|>". Collects the ids of "<|code|>" for every language
    // code that are above specialTokenBegin. Never fails.
    WhisperTokenizerWrapper(darori::TokenizerWrapper tokenizer, std::optional<std::filesystem::path> tokenizerFolder);

    std::vector<int> encode(const std::string& text) const override { return tokenizer_.encode(text); }
    std::string decode(const std::vector<int>& tokens) const override { return tokenizer_.decode(tokens); }
    std::optional<int> convertTokenToId(const std::string& token) const override { return tokenizer_.convertTokenToId(token); }
    std::optional<std::string> convertIdToToken(int id) const override { return tokenizer_.convertIdToToken(id); }
    const SpecialTokens& specialTokens() const override { return specialTokens_; }
    const std::unordered_set<int>& allLanguageTokens() const override { return allLanguageTokens_; }
    WordSplit splitToWordTokens(const std::vector<int>& tokenIds) const override;

    const darori::TokenizerWrapper& tokenizer() const { return tokenizer_; }
    const std::optional<std::filesystem::path>& tokenizerFolder() const { return tokenizerFolder_; }

    // The layout of the tokenizer's vocabulary: by its highest timestamp id (51865, 51864 or
    // 51863) when it has those, else by "<|endoftext|>" at 50256 (English-only) or a "<|yue|>"
    // token (v3); multilingual when nothing tells.
    static VocabularyLayout detectLayout(const darori::TokenizerWrapper& tokenizer);

private:
    WordSplit splitTokensOnUnicode(const std::vector<int>& tokens) const;
    WordSplit splitTokensOnSpaces(const std::vector<int>& tokens) const;

    darori::TokenizerWrapper tokenizer_;
    std::optional<std::filesystem::path> tokenizerFolder_;
    SpecialTokens specialTokens_;
    std::unordered_set<int> allLanguageTokens_;
};

}  // namespace zadezariro
