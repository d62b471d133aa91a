#include "DaroriCore/External/Tokenizers/BertTokenizer.hpp"

#include <algorithm>

#include <utf8proc.h>

#include "DaroriCore/External/Tokenizers/TokenizerError.hpp"
#include "DaroriCore/External/Tokenizers/UnicodeText.hpp"
#include "Unicode/Unicode.hpp"

namespace darori {

namespace {

bool isASCII(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string canonical(std::string_view s) { return isASCII(s) ? std::string(s) : unicode::nfc(s); }

char32_t firstScalar(std::string_view character) {
    std::size_t i = 0;
    return character.empty() ? 0 : unicode::decodeAt(character, i);
}

utf8proc_category_t category(char32_t cp) { return utf8proc_category(static_cast<utf8proc_int32_t>(cp)); }

// Accents and other combining marks removed; case untouched.
std::string foldDiacritics(std::string_view text) {
    if (isASCII(text)) return std::string(text);
    const std::string decomposed = unicode::nfd(text);
    std::string kept;
    kept.reserve(decomposed.size());
    for (std::size_t i = 0; i < decomposed.size();) {
        const char32_t cp = unicode::decodeAt(decomposed, i);
        if (category(cp) != UTF8PROC_CATEGORY_MN) unicode::appendUTF8(kept, cp);
    }
    return unicode::nfc(kept);
}

bool isSplitSpace(char32_t cp) { return cp == U'\t' || category(cp) == UTF8PROC_CATEGORY_ZS; }

bool isPunctuation(char32_t cp) {
    if ((cp >= 33 && cp <= 47) || (cp >= 58 && cp <= 64) || (cp >= 91 && cp <= 96) || (cp >= 123 && cp <= 126))
        return true;
    switch (category(cp)) {
    case UTF8PROC_CATEGORY_PC:
    case UTF8PROC_CATEGORY_PD:
    case UTF8PROC_CATEGORY_PS:
    case UTF8PROC_CATEGORY_PE:
    case UTF8PROC_CATEGORY_PI:
    case UTF8PROC_CATEGORY_PF:
    case UTF8PROC_CATEGORY_PO: return true;
    default: return false;
    }
}

bool isChineseCharacter(char32_t cp) {
    return (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x20000 && cp <= 0x2A6DF) ||
           (cp >= 0x2A700 && cp <= 0x2CEAF) || (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0x2F800 && cp <= 0x2FA1F);
}

template <class Visit>
void forEachCharacter(std::string_view text, Visit&& visit) {
    const auto bounds = tokenizerCharacterBoundaries(text);
    for (std::size_t i = 0; i + 1 < bounds.size(); ++i) visit(text.substr(bounds[i], bounds[i + 1] - bounds[i]));
}

}  // namespace

void WordPieceVocab::set(const std::string& token, int id) {
    const std::string key = canonical(token);
    ids_.insert_or_assign(key, id);
    spelling_.insert_or_assign(key, token);
}

std::optional<int> WordPieceVocab::find(std::string_view token) const {
    auto it = isASCII(token) ? ids_.find(token) : ids_.find(std::string_view(unicode::nfc(token)));
    if (it == ids_.end()) return std::nullopt;
    return it->second;
}

std::unordered_map<int, std::string> WordPieceVocab::inverted() const {
    std::unordered_map<int, std::string> out;
    for (const auto& [key, id] : ids_) out.insert_or_assign(id, spelling_.at(key));
    return out;
}

std::vector<std::string> BasicTokenizer::tokenize(const std::string& input) const {
    const std::string text = doLowerCase ? foldDiacritics(input) : input;
    std::vector<std::string> parts(1);
    forEachCharacter(text, [&](std::string_view c) {
        if (isSplitSpace(firstScalar(c))) parts.emplace_back();
        else parts.back() += c;
    });
    std::vector<std::string> words;
    for (auto& part : parts) {
        if (part.empty()) continue;
        if (std::find(neverSplit.begin(), neverSplit.end(), part) != neverSplit.end()) {
            words.push_back(std::move(part));
            continue;
        }
        // The full mapping, as the Lowercase normalizer: a capital sigma ending a word becomes "ς".
        const std::string cased = doLowerCase ? lowercased(part) : part;
        std::string current;
        forEachCharacter(cased, [&](std::string_view c) {
            if (isPunctuation(firstScalar(c))) {
                if (!current.empty()) words.push_back(std::move(current));
                current.clear();
                words.emplace_back(c);
            } else {
                current += c;
            }
        });
        if (!current.empty()) words.push_back(std::move(current));
    }
    return words;
}

std::vector<std::string> WordpieceTokenizer::tokenize(const std::string& word) const {
    const auto bounds = tokenizerCharacterBoundaries(word);
    const std::size_t count = bounds.size() - 1;
    if (count > maxInputCharsPerWord) return {unkToken};
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start < count) {
        bool found = false;
        for (std::size_t end = count; end > start; --end) {
            std::string candidate = word.substr(bounds[start], bounds[end] - bounds[start]);
            if (start > 0) candidate.insert(0, "##");
            if (vocab_->contains(candidate)) {
                pieces.push_back(std::move(candidate));
                start = end;
                found = true;
                break;
            }
        }
        if (!found) return {unkToken};
    }
    return pieces;
}

BertTokenizer::BertTokenizer(std::shared_ptr<WordPieceVocab> vocab, const Config*, bool tokenizeChineseChars,
                             std::optional<std::string> bosToken, std::optional<std::string> eosToken,
                             bool fuseUnknownTokens, bool doLowerCase)
    : vocab_(std::move(vocab)),
      idsToTokens_(vocab_->inverted()),
      basicTokenizer_(doLowerCase),
      wordpieceTokenizer_(vocab_),
      tokenizeChineseChars_(tokenizeChineseChars),
      bosToken_(std::move(bosToken)),
      eosToken_(std::move(eosToken)),
      fuseUnknownTokens_(fuseUnknownTokens) {
    if (bosToken_) bosTokenId_ = vocab_->find(*bosToken_);
    if (eosToken_) eosTokenId_ = vocab_->find(*eosToken_);
}

namespace {
std::shared_ptr<WordPieceVocab> readVocab(const Config& tokenizerData, const AddedTokenIds& addedTokens) {
    const auto* entries = tokenizerData["model"]["vocab"].dictionary();
    if (!entries) throw TokenizerError::missingVocab();
    auto vocab = std::make_shared<WordPieceVocab>();
    for (const auto& [key, value] : *entries)
        if (auto id = configId(value)) vocab->set(key.string(), *id);
    if (const auto* added = tokenizerData["addedTokens"].array()) {
        for (const auto& element : *added) {
            if (!element.dictionary()) continue;
            auto id = configId(element["id"]);
            auto content = element["content"].string();
            if (id && content) vocab->set(*content, *id);
        }
    }
    for (const auto& [content, id] : addedTokens) vocab->set(content, id);
    return vocab;
}
}  // namespace

BertTokenizer::BertTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokenIds& addedTokens)
    : BertTokenizer(readVocab(tokenizerData, addedTokens), &tokenizerData["model"]["merges"],
                    tokenizerConfig["handleChineseChars"].boolean().value_or(true),
                    tokenizerConfig["bosToken"].string(), tokenizerConfig["eosToken"].string(),
                    tokenizerConfig["fuseUnk"].boolean().value_or(false),
                    tokenizerConfig["doLowerCase"].boolean().value_or(true)) {}

std::vector<std::string> BertTokenizer::tokenize(const std::string& text) const {
    std::string spaced;
    if (tokenizeChineseChars_) {
        spaced.reserve(text.size());
        forEachCharacter(text, [&](std::string_view c) {
            if (isChineseCharacter(firstScalar(c))) {
                spaced += ' ';
                spaced += c;
                spaced += ' ';
            } else {
                spaced += c;
            }
        });
    }
    std::vector<std::string> pieces;
    for (const auto& word : basicTokenizer_.tokenize(tokenizeChineseChars_ ? spaced : text))
        for (auto& piece : wordpieceTokenizer_.tokenize(word)) pieces.push_back(std::move(piece));
    return pieces;
}

std::optional<int> BertTokenizer::convertTokenToId(const std::string& token) const {
    if (auto id = vocab_->find(token)) return id;
    return unknownTokenId();
}

std::optional<std::string> BertTokenizer::convertIdToToken(int id) const {
    auto it = idsToTokens_.find(id);
    if (it == idsToTokens_.end()) return std::nullopt;
    return it->second;
}

}  // namespace darori
