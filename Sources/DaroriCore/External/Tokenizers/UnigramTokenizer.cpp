#include "DaroriCore/External/Tokenizers/UnigramTokenizer.hpp"

#include <algorithm>

#include "DaroriCore/External/Tokenizers/TokenLattice.hpp"
#include "DaroriCore/External/Tokenizers/TokenizerError.hpp"

namespace darori {

namespace {
std::vector<std::string> characters(const std::string& text) {
    const auto bounds = tokenizerCharacterBoundaries(text);
    std::vector<std::string> out;
    out.reserve(bounds.size() - 1);
    for (std::size_t i = 0; i + 1 < bounds.size(); ++i) out.push_back(text.substr(bounds[i], bounds[i + 1] - bounds[i]));
    return out;
}
}  // namespace

UnigramTokenizer::UnigramTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokenIds&) {
    const Config& model = tokenizerData["model"];
    const auto* list = model["vocab"].array();
    if (!list) throw TokenizerError::missingVocab();
    vocab_.reserve(list->size());
    for (const auto& element : *list) {
        const auto* entry = element.array();
        if (!entry || entry->empty()) throw TokenizerError::malformedVocab();
        auto piece = entry->front().string();
        const Config& last = entry->back();
        std::optional<float> score = last.floating();
        if (auto i = last.integer()) score = static_cast<float>(*i);
        if (!piece || !score) throw TokenizerError::malformedVocab();
        vocab_.push_back({std::move(*piece), *score});
    }
    for (const auto& piece : vocab_) minScore_ = std::min(minScore_, piece.score);

    const auto unkId = configId(model["unkId"]);
    if (!unkId || *unkId < 0 || static_cast<std::size_t>(*unkId) >= vocab_.size()) throw TokenizerError::malformedVocab();
    unknownTokenId_ = *unkId;
    unknownPiece_ = {vocab_[*unkId].token, minScore_ - 10.0f};

    tokensToIds_.reserve(vocab_.size());
    for (std::size_t i = 0; i < vocab_.size(); ++i)
        if (!tokensToIds_.emplace(vocab_[i].token, static_cast<int>(i)).second) throw TokenizerError::malformedVocab();

    if (auto it = tokensToIds_.find(std::string_view(" ")); it != tokensToIds_.end()) bosTokenId_ = it->second;
    eosToken_ = tokenizerConfig["eosToken"].string();
    if (eosToken_)
        if (auto it = tokensToIds_.find(*eosToken_); it != tokensToIds_.end()) eosTokenId_ = it->second;

    for (const auto& piece : vocab_) trie_.insert(characters(piece.token));
}

std::optional<int> UnigramTokenizer::convertTokenToId(const std::string& token) const {
    auto it = tokensToIds_.find(std::string_view(token));
    if (it == tokensToIds_.end()) return unknownTokenId_;
    return it->second;
}

std::optional<std::string> UnigramTokenizer::convertIdToToken(int id) const {
    if (id < 0 || static_cast<std::size_t>(id) >= vocab_.size()) return std::nullopt;
    return vocab_[id].token;
}

std::vector<std::string> UnigramTokenizer::tokenize(const std::string& text) const {
    TokenLattice lattice(text, bosTokenId_.value_or(0), eosTokenId_.value_or(0));
    const auto chars = characters(text);
    for (std::size_t i = 0; i < chars.size(); ++i) {
        bool hasSingleCharacter = false;
        auto search = trie_.commonPrefixSearch(chars.begin() + static_cast<std::ptrdiff_t>(i), chars.end());
        while (auto length = search.nextLength()) {
            const auto found = tokensToIds_.find(lattice.piece(i, *length));
            if (found == tokensToIds_.end()) continue;
            const int id = found->second;
            lattice.addNode(i, *length, vocab_[id].score, id);
            hasSingleCharacter = hasSingleCharacter || *length == 1;
        }
        if (!hasSingleCharacter) lattice.addNode(i, 1, unknownPiece_.score, unknownTokenId_.value_or(0));
    }
    return lattice.tokens();
}

}  // namespace darori
