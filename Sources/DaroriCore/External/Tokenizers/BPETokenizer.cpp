#include "DaroriCore/External/Tokenizers/BPETokenizer.hpp"

#include <algorithm>
#include <cstdio>
#include <functional>

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
    // Symbols are always contiguous stretches of the word, so a symbol is a byte range, kept in a
    // linked list indexed by its first character. Candidate merges wait in a heap ordered by rank,
    // then position. A round takes every candidate of the lowest rank and merges them left to
    // right, skipping those an earlier merge of the round used up: the result is that of merging
    // all occurrences of the lowest-ranked pair per round, in O(n log n) instead of O(n^2).
    const auto bounds = tokenizerCharacterBoundaries(word);
    const auto count = static_cast<std::uint32_t>(bounds.size() - 1);
    struct Symbol {
        std::uint32_t prev, next;  // neighbours; `count` marks none
        std::uint32_t version = 0;  // changes whenever the symbol grows
        bool alive = true;
    };
    std::vector<Symbol> symbols(count);
    for (std::uint32_t i = 0; i < count; ++i) symbols[i] = {i == 0 ? count : i - 1, i + 1};
    auto text = [&](std::uint32_t i) {
        const std::size_t end = symbols[i].next == count ? word.size() : bounds[symbols[i].next];
        return word.substr(bounds[i], end - bounds[i]);
    };
    struct Candidate {
        int rank;
        std::uint32_t left, right, leftVersion, rightVersion;
        bool operator>(const Candidate& o) const { return rank != o.rank ? rank > o.rank : left > o.left; }
    };
    std::vector<Candidate> heap;
    auto consider = [&](std::uint32_t left) {
        const std::uint32_t right = symbols[left].next;
        if (right == count) return;
        if (auto r = rank(text(left), text(right))) {
            heap.push_back({*r, left, right, symbols[left].version, symbols[right].version});
            std::push_heap(heap.begin(), heap.end(), std::greater<>());
        }
    };
    auto current = [&](const Candidate& c) {
        const Symbol& l = symbols[c.left];
        const Symbol& r = symbols[c.right];
        return l.alive && r.alive && l.next == c.right && l.version == c.leftVersion && r.version == c.rightVersion;
    };
    for (std::uint32_t i = 0; i + 1 < count; ++i) consider(i);
    std::vector<Candidate> round;
    while (!heap.empty()) {
        const int best = heap.front().rank;
        round.clear();
        while (!heap.empty() && heap.front().rank == best) {
            std::pop_heap(heap.begin(), heap.end(), std::greater<>());
            round.push_back(heap.back());
            heap.pop_back();
        }
        for (const auto& c : round) {
            if (!current(c)) continue;
            Symbol& left = symbols[c.left];
            Symbol& right = symbols[c.right];
            left.next = right.next;
            if (right.next != count) symbols[right.next].prev = c.left;
            right.alive = false;
            ++left.version;
        }
        // New neighbours are looked up only after the round: none of them can be the pair just
        // merged, and one of lower rank must wait for the next round.
        for (const auto& c : round) {
            const Symbol& left = symbols[c.left];
            if (!left.alive || left.version == c.leftVersion) continue;
            if (left.prev != count) consider(left.prev);
            consider(c.left);
        }
    }
    std::vector<std::string_view> out;
    for (std::uint32_t i = 0; i < count; i = symbols[i].next) out.push_back(text(i));
    return out;
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
