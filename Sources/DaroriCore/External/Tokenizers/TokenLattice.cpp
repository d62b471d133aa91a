#include "DaroriCore/External/Tokenizers/TokenLattice.hpp"

#include <locale>
#include <sstream>

#include "DaroriCore/External/Tokenizers/BPETokenizer.hpp"

namespace darori {

std::string TokenLatticeNode::description() const {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << "TokenLatticeNode(tokenId: " << tokenId << ", startOffset: " << startOffset << ", length: " << length
        << ", score: " << score << ", prev: " << (prev ? "true" : "false") << ", backtraceScore: " << backtraceScore
        << ")";
    return out.str();
}

TokenLattice::TokenLattice(std::string sentence, int bosTokenId, int eosTokenId)
    : sentence_(std::move(sentence)),
      bounds_(tokenizerCharacterBoundaries(sentence_)),
      bosTokenId_(bosTokenId),
      eosTokenId_(eosTokenId) {
    const std::size_t n = characterCount();
    startingAt_.resize(n + 1);
    endingAt_.resize(n + 1);
    allNodes_.push_back({bosTokenId_, 0, 0, 0, std::nullopt, 0});
    allNodes_.push_back({eosTokenId_, n, 0, 0, std::nullopt, 0});
    startingAt_[n].push_back(1);
    endingAt_[0].push_back(0);
}

void TokenLattice::addNode(std::size_t startOffset, std::size_t length, float score, int tokenId) {
    const std::size_t index = allNodes_.size();
    allNodes_.push_back({tokenId, startOffset, length, score, std::nullopt, 0});
    startingAt_[startOffset].push_back(index);
    endingAt_[startOffset + length].push_back(index);
}

std::vector<TokenLatticeNode> TokenLattice::viterbi() {
    const std::size_t n = characterCount();
    for (std::size_t offset = 0; offset <= n; ++offset) {
        if (startingAt_[offset].empty()) return {};
        for (std::size_t r : startingAt_[offset]) {
            auto& right = allNodes_[r];
            right.prev.reset();
            std::optional<std::size_t> best;
            float bestScore = 0;
            for (std::size_t l : endingAt_[offset]) {
                const float s = allNodes_[l].backtraceScore + right.score;
                if (!best || s > bestScore) {
                    best = l;
                    bestScore = s;
                }
            }
            if (best) {
                right.prev = best;
                right.backtraceScore = bestScore;
            }
        }
    }
    std::vector<TokenLatticeNode> path;
    const auto& end = allNodes_[startingAt_[n].front()];
    if (!end.prev) return path;
    for (std::optional<std::size_t> at = end.prev; at && allNodes_[*at].prev; at = allNodes_[*at].prev)
        path.push_back(allNodes_[*at]);
    return {path.rbegin(), path.rend()};
}

std::string TokenLattice::piece(std::size_t start, std::size_t length) const {
    return sentence_.substr(bounds_[start], bounds_[start + length] - bounds_[start]);
}

std::vector<std::string> TokenLattice::tokens() {
    std::vector<std::string> out;
    for (const auto& node : viterbi()) out.push_back(piece(node.startOffset, node.length));
    return out;
}

}  // namespace darori
