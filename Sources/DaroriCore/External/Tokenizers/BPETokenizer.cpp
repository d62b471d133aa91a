#include "DaroriCore/External/Tokenizers/BPETokenizer.hpp"

#include <cstdio>
#include <limits>

#include "DaroriCore/External/Tokenizers/TokenizerError.hpp"
#include "DaroriCore/External/Tokenizers/TokenizerModel.hpp"
#include "Unicode/Unicode.hpp"

namespace darori {

std::vector<std::size_t> tokenizerCharacterBoundaries(std::string_view text) {
    // Code points below U+0300 (other than the C0/C1 controls, where CR LF joins) never join a
    // neighbour into one grapheme cluster, so each is a character; byte-level text is all such.
    std::vector<std::size_t> bounds;
    bounds.reserve(text.size() + 1);
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            bounds.push_back(i++);
            continue;
        }
        // Two-byte sequences C2 A0 .. CB BF cover U+00A0 .. U+02FF.
        if (c >= 0xC2 && c <= 0xCB && i + 1 < text.size()) {
            const auto c2 = static_cast<unsigned char>(text[i + 1]);
            if ((c2 & 0xC0) == 0x80 && !(c == 0xC2 && c2 < 0xA0)) {
                bounds.push_back(i);
                i += 2;
                continue;
            }
        }
        return unicode::characterBoundaries(text);
    }
    bounds.push_back(text.size());
    return bounds;
}

std::optional<std::vector<std::vector<std::string>>> BPETokenizer::mergesFromConfig(const Config* config) {
    if (!config) return std::nullopt;
    const auto* list = config->array();
    if (!list) return std::nullopt;
    std::vector<std::vector<std::string>> merges;
    merges.reserve(list->size());
    for (const auto& element : *list) {
        if (auto text = element.string()) {
            std::vector<std::string> parts;
            std::size_t start = 0;
            for (;;) {
                const auto space = text->find(' ', start);
                if (space == std::string::npos) {
                    parts.push_back(text->substr(start));
                    break;
                }
                parts.push_back(text->substr(start, space - start));
                start = space + 1;
            }
            merges.push_back(std::move(parts));
        } else if (auto parts = element.get()) {
            merges.push_back(std::move(*parts));
        }
    }
    return merges;
}

BPETokenizer::BPETokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokenIds& addedTokens) {
    const Config& model = tokenizerData["model"];
    auto merges = mergesFromConfig(&model["merges"]);
    if (!merges) throw TokenizerError::mismatchedConfig("BPETokenizer requires merges");
    const auto* vocab = model["vocab"].dictionary();
    if (!vocab) throw TokenizerError::missingVocab();

    bpeRanks_.reserve(merges->size());
    for (std::size_t i = 0; i < merges->size(); ++i) {
        auto& entry = (*merges)[i];
        if (entry.size() < 2) continue;
        bpeRanks_.insert_or_assign(BytePair{std::move(entry[0]), std::move(entry[1])}, static_cast<int>(i));
    }

    tokensToIds_.reserve(vocab->size() + addedTokens.size());
    for (const auto& [key, value] : *vocab) {
        const auto text = key.string();
        if (addedTokens.count(text)) continue;
        if (auto id = configId(value)) tokensToIds_.emplace(text, *id);
    }
    for (const auto& [text, id] : addedTokens) tokensToIds_.insert_or_assign(text, id);
    idsToTokens_.reserve(tokensToIds_.size());
    for (const auto& [text, id] : tokensToIds_) idsToTokens_.emplace(id, text);

    auto idOf = [&](const std::optional<std::string>& token) -> std::optional<int> {
        if (!token) return std::nullopt;
        auto it = tokensToIds_.find(*token);
        if (it == tokensToIds_.end()) return std::nullopt;
        return it->second;
    };
    unknownToken_ = TokenizerModel::unknownToken(tokenizerConfig);
    unknownTokenId_ = idOf(unknownToken_);
    eosToken_ = addedTokenAsString(tokenizerConfig["eosToken"]);
    eosTokenId_ = idOf(eosToken_);
    bosToken_ = addedTokenAsString(tokenizerConfig["bosToken"]);
    bosTokenId_ = idOf(bosToken_);
    fuseUnknownTokens_ = tokenizerConfig["fuseUnk"].boolean().value_or(false);
}

std::optional<int> BPETokenizer::convertTokenToId(const std::string& token) const {
    auto it = tokensToIds_.find(std::string_view(token));
    if (it == tokensToIds_.end()) return unknownTokenId_;
    return it->second;
}

std::optional<std::string> BPETokenizer::convertIdToToken(int id) const {
    auto it = idsToTokens_.find(id);
    if (it == idsToTokens_.end()) return std::nullopt;
    return it->second;
}

std::optional<int> BPETokenizer::rank(std::string_view a, std::string_view b) const {
    auto it = bpeRanks_.find(std::pair<std::string_view, std::string_view>(a, b));
    if (it == bpeRanks_.end()) return std::nullopt;
    return it->second;
}

std::vector<std::string> BPETokenizer::hexaEncode(const std::string& text) const {
    std::vector<std::string> tokens;
    tokens.reserve(text.size());
    char buffer[8];
    for (unsigned char byte : text) {
        std::snprintf(buffer, sizeof buffer, "<0x%02X>", byte);
        tokens.emplace_back(buffer);
    }
    return tokens;
}

std::vector<std::string_view> BPETokenizer::mergeSymbols(std::string_view word) const {
    // Symbols are always contiguous stretches of the word, so a symbol is a byte range and a merge
    // removes one boundary. ranks[i] is the rank of the pair (symbol i, symbol i + 1).
    constexpr int none = std::numeric_limits<int>::max();
    const auto bounds = tokenizerCharacterBoundaries(word);
    std::vector<std::size_t> starts(bounds.begin(), bounds.end());  // symbol starts, then word end
    auto symbol = [&](const std::vector<std::size_t>& s, std::size_t i) {
        return word.substr(s[i], s[i + 1] - s[i]);
    };
    auto lookup = [&](const std::vector<std::size_t>& s, std::size_t i) {
        auto r = rank(symbol(s, i), symbol(s, i + 1));
        return r ? *r : none;
    };
    std::vector<int> ranks;
    if (starts.size() > 2) {
        ranks.resize(starts.size() - 2);
        for (std::size_t i = 0; i < ranks.size(); ++i) ranks[i] = lookup(starts, i);
    }
    std::vector<std::size_t> nextStarts;
    std::vector<int> nextRanks;
    std::vector<bool> merged;
    while (starts.size() > 2) {
        int best = none;
        for (int r : ranks) best = r < best ? r : best;
        if (best == none) break;
        const std::size_t count = starts.size() - 1;
        nextStarts.clear();
        merged.clear();  // merged[k]: new symbol k was made in this round
        for (std::size_t i = 0; i < count;) {
            nextStarts.push_back(starts[i]);
            if (i + 1 < count && ranks[i] == best) {
                merged.push_back(true);
                i += 2;
            } else {
                merged.push_back(false);
                i += 1;
            }
        }
        nextStarts.push_back(word.size());
        // A pair of two untouched neighbours keeps its rank; every other pair is looked up again.
        nextRanks.assign(nextStarts.size() > 2 ? nextStarts.size() - 2 : 0, none);
        std::size_t old = 0;  // index in `starts` of new symbol k
        for (std::size_t k = 0; k < nextRanks.size(); ++k) {
            if (!merged[k] && !merged[k + 1]) nextRanks[k] = ranks[old];
            else nextRanks[k] = lookup(nextStarts, k);
            old += merged[k] ? 2 : 1;
        }
        starts.swap(nextStarts);
        ranks.swap(nextRanks);
    }
    std::vector<std::string_view> symbols;
    symbols.reserve(starts.size() - 1);
    for (std::size_t i = 0; i + 1 < starts.size(); ++i) symbols.push_back(symbol(starts, i));
    return symbols;
}

std::string BPETokenizer::bpe(const std::string& token) const {
    std::string joined;
    for (auto s : mergeSymbols(token)) {
        if (!joined.empty()) joined += ' ';
        joined += s;
    }
    return token.empty() ? token : joined;
}

std::vector<std::string> BPETokenizer::tokenize(const std::string& text) const {
    std::vector<std::string> pieces;
    if (text.empty()) return pieces;
    auto emit = [&](std::string_view piece) {
        auto it = tokensToIds_.find(piece);
        if (it != tokensToIds_.end() && (!unknownTokenId_ || it->second != *unknownTokenId_)) {
            pieces.emplace_back(piece);
        } else {
            for (auto& byte : hexaEncode(std::string(piece))) pieces.push_back(std::move(byte));
        }
    };
    for (auto symbol : mergeSymbols(text)) {
        // A symbol holding a space is cut there: the joined form separates symbols by spaces.
        std::size_t start = 0;
        while (start <= symbol.size()) {
            auto space = symbol.find(' ', start);
            if (space == std::string_view::npos) space = symbol.size();
            if (space > start) emit(symbol.substr(start, space - start));
            start = space + 1;
        }
    }
    return pieces;
}

}  // namespace darori
