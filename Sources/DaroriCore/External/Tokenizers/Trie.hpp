// A prefix tree over sequences of hashable elements, with one query: every stored entry that is a
// prefix of a text, shortest first. The Unigram model stores its pieces here as characters.
//
// Building is not thread-safe; a built trie may be queried from many threads at once.
#pragma once

#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace darori {

template <class T>
struct TrieNode {
    bool isLeaf = false;
    std::unordered_map<T, std::unique_ptr<TrieNode>> children;
};

// Walks a text [first, last) from a node and yields, one per next(), each stored entry that is a
// prefix of the text, in order of increasing length. Consumes the text only as far as the trie
// has a path; after it has returned nothing it stays exhausted. Borrows the trie and the text.
// Use either next() or nextLength() on one iterator, not both.
template <class T, class It>
class LeavesWithCommonPrefixIterator {
public:
    LeavesWithCommonPrefixIterator(const TrieNode<T>* node, It first, It last) : node_(node), it_(first), last_(last) {}

    std::optional<std::vector<T>> next() {
        while (node_ && it_ != last_) {
            const T& element = *it_++;
            seq_.push_back(element);
            auto child = node_->children.find(element);
            if (child == node_->children.end()) {
                node_ = nullptr;
                return std::nullopt;
            }
            node_ = child->second.get();
            if (node_->isLeaf) return seq_;
        }
        node_ = nullptr;
        return std::nullopt;
    }

    // Length (in elements) of the next entry, without collecting it; absent when none is left.
    std::optional<std::size_t> nextLength() {
        while (node_ && it_ != last_) {
            auto child = node_->children.find(*it_++);
            ++consumed_;
            if (child == node_->children.end()) break;
            node_ = child->second.get();
            if (node_->isLeaf) return consumed_;
        }
        node_ = nullptr;
        return std::nullopt;
    }

private:
    const TrieNode<T>* node_;
    It it_, last_;
    std::vector<T> seq_;
    std::size_t consumed_ = 0;
};

template <class T>
class Trie {
public:
    Trie() : root_(std::make_unique<TrieNode<T>>()) {}

    // Adds the sequence as an entry; inserting an entry twice changes nothing.
    template <class Sequence>
    void insert(const Sequence& sequence) {
        TrieNode<T>* node = root_.get();
        for (const auto& element : sequence) {
            auto& child = node->children[element];
            if (!child) child = std::make_unique<TrieNode<T>>();
            node = child.get();
        }
        node->isLeaf = true;
    }

    template <class Sequences>
    void append(const Sequences& sequences) {
        for (const auto& s : sequences) insert(s);
    }

    // Every stored entry that is a prefix of [first, last), shortest first.
    template <class It>
    LeavesWithCommonPrefixIterator<T, It> commonPrefixSearch(It first, It last) const {
        return LeavesWithCommonPrefixIterator<T, It>(root_.get(), first, last);
    }
    template <class Sequence>
    auto commonPrefixSearch(const Sequence& text) const {
        return commonPrefixSearch(std::begin(text), std::end(text));
    }

    const TrieNode<T>& root() const { return *root_; }

private:
    std::unique_ptr<TrieNode<T>> root_;
};

}  // namespace darori
