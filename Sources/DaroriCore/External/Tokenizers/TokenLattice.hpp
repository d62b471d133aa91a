// The token lattice of the Unigram model: candidate pieces as nodes indexed by the character
// offsets where they start and end, and the best-scoring path through them.
//
// A plain value; not safe for concurrent mutation.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace darori {

struct TokenLatticeNode {
    int tokenId = 0;
    std::size_t startOffset = 0;  // in characters
    std::size_t length = 0;       // in characters
    float score = 0;
    std::optional<std::size_t> prev;  // index in the lattice's allNodes of the best predecessor
    float backtraceScore = 0;         // best total score of a path ending with this node

    // "TokenLatticeNode(tokenId: 5, startOffset: 0, length: 2, score: -1.5, prev: true, backtraceScore: -1.5)"
    std::string description() const;
};

class TokenLattice {
public:
    // Offsets count the characters (grapheme clusters) of `sentence`. Makes the begin node
    // (ending at 0) and the end node (starting at the character count).
    TokenLattice(std::string sentence, int bosTokenId, int eosTokenId);

    // Adds a candidate piece. Precondition: startOffset + length <= characterCount(), length > 0.
    void addNode(std::size_t startOffset, std::size_t length, float score, int tokenId);

    // The nodes of the best path, first piece first; empty when some offset has no node starting
    // there or the end is unreachable. Among predecessors with equal totals the one added first wins.
    std::vector<TokenLatticeNode> viterbi();
    // The texts of the best path's nodes.
    std::vector<std::string> tokens();

    const std::string& sentence() const { return sentence_; }
    std::size_t characterCount() const { return bounds_.size() - 1; }
    const std::vector<TokenLatticeNode>& allNodes() const { return allNodes_; }
    // The text of `length` characters from character `start`.
    std::string piece(std::size_t start, std::size_t length) const;

private:
    std::string sentence_;
    std::vector<std::size_t> bounds_;  // byte offset of each character start, then the end
    int bosTokenId_;
    int eosTokenId_;
    std::vector<TokenLatticeNode> allNodes_;
    std::vector<std::vector<std::size_t>> startingAt_;  // node indexes per character offset 0 ... n
    std::vector<std::vector<std::size_t>> endingAt_;
};

}  // namespace darori
