#include "ZadezarIro/Core/WhisperTokenizer.hpp"

#include <utf8proc.h>

#include "Unicode/Unicode.hpp"
#include "ZadezarIro/Core/Constants.hpp"
#include "ZadezarIro/Utilities/LanguageRecognizer.hpp"

namespace zadezariro {

SpecialTokens fallbackSpecialTokens(VocabularyLayout layout) {
    SpecialTokens t;
    if (layout == VocabularyLayout::englishOnly) {
        for (std::int64_t* id : {&t.endToken, &t.englishToken, &t.noSpeechToken, &t.noTimestampsToken, &t.specialTokenBegin,
                                 &t.startOfPreviousToken, &t.startOfTranscriptToken, &t.timeTokenBegin, &t.transcribeToken,
                                 &t.translateToken})
            *id -= 1;
    } else if (layout == VocabularyLayout::multilingualV3) {
        for (std::int64_t* id : {&t.noSpeechToken, &t.noTimestampsToken, &t.startOfPreviousToken, &t.timeTokenBegin,
                                 &t.transcribeToken, &t.translateToken})
            *id += 1;
    }
    return t;
}

namespace {
// The id of a token text the vocabulary really holds. Byte-pair vocabularies answer an unknown text
// with their unknown token's id ("<|endoftext|>" in Whisper's), which must not pass for the text's.
std::optional<int> knownId(const darori::TokenizerWrapper& tokenizer, const std::string& text) {
    const auto id = tokenizer.convertTokenToId(text);
    if (!id) return std::nullopt;
    if (id == tokenizer.unknownTokenId() && tokenizer.unknownToken() != text) return std::nullopt;
    return id;
}
}  // namespace

VocabularyLayout WhisperTokenizerWrapper::detectLayout(const darori::TokenizerWrapper& tokenizer) {
    if (tokenizer.convertIdToToken(51865)) return VocabularyLayout::multilingualV3;
    if (tokenizer.convertIdToToken(51864)) return VocabularyLayout::multilingual;
    if (tokenizer.convertIdToToken(51863)) return VocabularyLayout::englishOnly;
    if (knownId(tokenizer, "<|endoftext|>") == 50256) return VocabularyLayout::englishOnly;
    if (knownId(tokenizer, "<|yue|>")) return VocabularyLayout::multilingualV3;
    return VocabularyLayout::multilingual;
}

WhisperTokenizerWrapper::WhisperTokenizerWrapper(darori::TokenizerWrapper tokenizer,
                                                 std::optional<std::filesystem::path> tokenizerFolder)
    : tokenizer_(std::move(tokenizer)), tokenizerFolder_(std::move(tokenizerFolder)) {
    const SpecialTokens fallback = fallbackSpecialTokens(detectLayout(tokenizer_));
    auto resolve = [&](const char* text, std::int64_t fallbackId) -> std::int64_t {
        if (const auto id = knownId(tokenizer_, text)) return *id;
        return fallbackId;
    };
    SpecialTokens& t = specialTokens_;
    t.endToken = resolve("<|endoftext|>", fallback.endToken);
    t.englishToken = resolve("<|en|>", fallback.englishToken);
    t.noSpeechToken = resolve("<|nospeech|>", fallback.noSpeechToken);
    t.noTimestampsToken = resolve("<|notimestamps|>", fallback.noTimestampsToken);
    t.specialTokenBegin = resolve("<|endoftext|>", fallback.specialTokenBegin);
    t.startOfPreviousToken = resolve("<|startofprev|>", fallback.startOfPreviousToken);
    t.startOfTranscriptToken = resolve("<|startoftranscript|>", fallback.startOfTranscriptToken);
    t.timeTokenBegin = resolve("<|0.00|>", fallback.timeTokenBegin);
    t.transcribeToken = resolve("<|transcribe|>", fallback.transcribeToken);
    t.translateToken = resolve("<|translate|>", fallback.translateToken);
    t.whitespaceToken = resolve(" ", fallback.whitespaceToken);

    for (const auto& [name, code] : Constants::languages()) {
        const auto id = knownId(tokenizer_, "<|" + code + "|>");
        if (id && *id > t.specialTokenBegin) allLanguageTokens_.insert(*id);
    }
}

namespace {
constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD

// Character (grapheme cluster) index of the first U+FFFD in the text; absent when there is none.
std::optional<std::size_t> firstReplacementCharacter(const std::string& text) {
    const std::size_t byte = text.find(REPLACEMENT);
    if (byte == std::string::npos) return std::nullopt;
    return unicode::characterCount(std::string_view(text).substr(0, byte));
}

bool isSpaceSeparatorOrTab(char32_t cp) {
    return cp == U'\t' || utf8proc_category(static_cast<utf8proc_int32_t>(cp)) == UTF8PROC_CATEGORY_ZS;
}

bool isPunctuation(char32_t cp) {
    const auto category = utf8proc_category(static_cast<utf8proc_int32_t>(cp));
    return category >= UTF8PROC_CATEGORY_PC && category <= UTF8PROC_CATEGORY_PO;
}

// A piece that is one punctuation mark once spaces and tabs are trimmed from both ends.
bool isLonePunctuation(const std::string& text) {
    std::vector<char32_t> scalars;
    for (std::size_t i = 0; i < text.size();) scalars.push_back(unicode::decodeAt(text, i));
    std::size_t begin = 0, end = scalars.size();
    while (begin < end && isSpaceSeparatorOrTab(scalars[begin])) ++begin;
    while (end > begin && isSpaceSeparatorOrTab(scalars[end - 1])) --end;
    return end - begin == 1 && isPunctuation(scalars[begin]);
}
}  // namespace

WordSplit WhisperTokenizerWrapper::splitToWordTokens(const std::vector<int>& tokenIds) const {
    std::vector<int> textTokens;
    for (int id : tokenIds)
        if (id < specialTokens_.specialTokenBegin) textTokens.push_back(id);
    const auto language = LanguageRecognizer::dominantLanguage(tokenizer_.decode(textTokens));
    static const std::unordered_set<std::string> NO_SPACES = {"zh", "ja", "th", "lo", "my", "yue"};
    if (language && NO_SPACES.count(*language)) return splitTokensOnUnicode(tokenIds);
    return splitTokensOnSpaces(tokenIds);
}

WordSplit WhisperTokenizerWrapper::splitTokensOnUnicode(const std::vector<int>& tokens) const {
    WordSplit split;
    if (tokens.empty()) return split;
    const std::string full = tokenizer_.decode(tokens);
    // The start of every character of the full text, to look a character up by its index.
    const std::vector<std::size_t> boundaries = unicode::characterBoundaries(full);
    auto fullHasReplacementAt = [&](std::size_t character) {
        // A place beyond the full text (a decoder whose pieces are not slices of it) holds nothing.
        if (character + 1 >= boundaries.size()) return false;
        return std::string_view(full).substr(boundaries[character], boundaries[character + 1] - boundaries[character]) == REPLACEMENT;
    };

    std::vector<int> current;
    std::size_t offset = 0;
    for (int token : tokens) {
        current.push_back(token);
        const std::string decoded = tokenizer_.decode(current);
        const auto replacement = firstReplacementCharacter(decoded);
        if (!replacement || fullHasReplacementAt(offset + *replacement)) {
            offset += unicode::characterCount(decoded);
            split.first.push_back(decoded);
            split.second.push_back(std::move(current));
            current.clear();
        }
    }
    // An unfinished character at the end still forms a word: its tokens are not lost.
    if (!current.empty()) {
        split.first.push_back(tokenizer_.decode(current));
        split.second.push_back(std::move(current));
    }
    return split;
}

WordSplit WhisperTokenizerWrapper::splitTokensOnSpaces(const std::vector<int>& tokens) const {
    const auto [pieces, pieceTokens] = splitTokensOnUnicode(tokens);
    WordSplit words;
    for (std::size_t i = 0; i < pieces.size() && i < pieceTokens.size(); ++i) {
        const std::string& piece = pieces[i];
        const bool special = !pieceTokens[i].empty() && pieceTokens[i].front() >= specialTokens_.specialTokenBegin;
        const bool startsWithSpace = !piece.empty() && piece.front() == ' ';
        if (special || startsWithSpace || isLonePunctuation(piece) || words.first.empty()) {
            words.first.push_back(piece);
            words.second.push_back(pieceTokens[i]);
        } else {
            words.first.back() += piece;
            words.second.back().insert(words.second.back().end(), pieceTokens[i].begin(), pieceTokens[i].end());
        }
    }
    return words;
}

}  // namespace zadezariro
