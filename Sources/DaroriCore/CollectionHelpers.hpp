// Small list helpers shared by the hub client, the tokenizers and the engine: glob filtering,
// batching and order-keeping de-duplication. All pure and thread-safe.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace darori {

// The names that match the shell glob `pattern` (fnmatch with no flags: "*" and "?" also match "/"
// and a leading ".", case-sensitive, backslash escapes), in the order given.
std::vector<std::string> matching(const std::vector<std::string>& names, std::string_view pattern);

// Consecutive slices of `size` elements, the last one shorter; an empty list gives no slices.
// Throws std::invalid_argument when size is 0.
template <class T>
std::vector<std::vector<T>> batched(const std::vector<T>& items, std::size_t size) {
    if (size == 0) throw std::invalid_argument("batch size must be positive");
    std::vector<std::vector<T>> out;
    for (std::size_t start = 0; start < items.size(); start += size) {
        const std::size_t end = start + std::min(size, items.size() - start);
        out.emplace_back(items.begin() + static_cast<std::ptrdiff_t>(start), items.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return out;
}

// The elements without repeats, the first occurrence of each kept, in order.
template <class T>
std::vector<T> orderedSet(const std::vector<T>& items) {
    std::unordered_set<T> seen;
    std::vector<T> out;
    for (const T& item : items) {
        if (seen.insert(item).second) out.push_back(item);
    }
    return out;
}

}  // namespace darori
