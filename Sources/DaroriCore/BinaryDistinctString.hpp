// Text held as its exact UTF-16 code units: compared, ordered and hashed unit by unit, never
// normalised, so a precomposed letter and its decomposed form stay two different keys. Used for
// tokenizer vocabularies and configuration keys.
//
// Values are plain and thread-compatible (const use from many threads is safe). Operations that
// need characters (count, iteration, positions, lower-casing, replacing) rebuild UTF-8 text from
// the units on every call; callers that need them repeatedly keep the result.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace darori {

// One character (extended grapheme cluster) held as its UTF-16 units.
struct BinaryDistinctCharacter {
    std::vector<std::uint16_t> bytes;

    BinaryDistinctCharacter() = default;
    explicit BinaryDistinctCharacter(std::vector<std::uint16_t> units) : bytes(std::move(units)) {}
    // The UTF-16 units of `text` (invalid UTF-8 reads as U+FFFD).
    BinaryDistinctCharacter(std::string_view text);
    BinaryDistinctCharacter(const char* text) : BinaryDistinctCharacter(std::string_view(text)) {}

    // BinaryDistinctCharacter('A', bytes: ["0x41"])
    std::string description() const;
    friend bool operator==(const BinaryDistinctCharacter&, const BinaryDistinctCharacter&) = default;
};

class BinaryDistinctString {
public:
    std::vector<std::uint16_t> value;

    BinaryDistinctString() = default;
    explicit BinaryDistinctString(std::vector<std::uint16_t> units) : value(std::move(units)) {}
    // The UTF-16 units of the UTF-8 text, in order (invalid bytes read as U+FFFD).
    BinaryDistinctString(std::string_view text);
    BinaryDistinctString(const std::string& text) : BinaryDistinctString(std::string_view(text)) {}
    BinaryDistinctString(const char* text) : BinaryDistinctString(std::string_view(text)) {}
    explicit BinaryDistinctString(const BinaryDistinctCharacter& c) : value(c.bytes) {}
    explicit BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters);

    // The text as UTF-8 (a lone surrogate becomes U+FFFD). description() is the same text.
    std::string string() const;
    std::string description() const { return string(); }
    // Number of characters (grapheme clusters), not of units.
    std::size_t count() const;

    friend bool operator==(const BinaryDistinctString&, const BinaryDistinctString&) = default;
    // Lexicographic on the units as unsigned numbers; a proper prefix orders first.
    friend std::strong_ordering operator<=>(const BinaryDistinctString& a, const BinaryDistinctString& b) {
        return a.value <=> b.value;
    }
    friend BinaryDistinctString operator+(const BinaryDistinctString& a, const BinaryDistinctString& b);

    bool hasPrefix(const BinaryDistinctString& prefix) const;
    bool hasSuffix(const BinaryDistinctString& suffix) const;
    // Unicode lower-casing of each code point.
    BinaryDistinctString lowercased() const;
    // Every occurrence of `of` replaced by `with`; occurrences are found by canonical equivalence
    // on whole characters (a decomposed é matches a precomposed one). An empty `of` changes nothing.
    BinaryDistinctString replacingOccurrences(const BinaryDistinctString& of, const BinaryDistinctString& with) const;

    // One entry per character, holding that character's units.
    std::vector<BinaryDistinctCharacter> characters() const;

    // Character positions: 0 ... count().
    std::size_t startIndex() const { return 0; }
    std::size_t endIndex() const { return count(); }
    // position + offset; stops the process with "Index out of bounds" outside 0 ... count().
    std::ptrdiff_t index(std::ptrdiff_t position, std::ptrdiff_t offsetBy) const;
    // position + offset, or absent when that goes past `limitedBy` (or does not fit the type).
    std::optional<std::ptrdiff_t> index(std::ptrdiff_t position, std::ptrdiff_t offsetBy, std::ptrdiff_t limitedBy) const;
    // The characters [lower, upper) / [lower, count()). Stops the process with "Index out of bounds"
    // when lower < 0 or upper > count() (or lower > upper).
    BinaryDistinctString substring(std::ptrdiff_t lower, std::ptrdiff_t upper) const;
    BinaryDistinctString substring(std::ptrdiff_t lower) const;
};

namespace detail {
// Hash of the unit count, then every unit in order.
std::size_t hashUnits(const std::vector<std::uint16_t>& units) noexcept;
}  // namespace detail

}  // namespace darori

template <>
struct std::hash<darori::BinaryDistinctString> {
    std::size_t operator()(const darori::BinaryDistinctString& s) const noexcept;
};
template <>
struct std::hash<darori::BinaryDistinctCharacter> {
    std::size_t operator()(const darori::BinaryDistinctCharacter& c) const noexcept;
};

namespace darori {

template <class V>
using BinaryDistinctMap = std::unordered_map<BinaryDistinctString, V>;

// Inserts every entry of `other` into `into`; for a key present in both the stored value becomes
// strategy(current, other). Keys of a text-keyed map are first turned into BinaryDistinctStrings.
template <class V, class K, class Strategy>
void merge(BinaryDistinctMap<V>& into, const std::unordered_map<K, V>& other, Strategy&& strategy) {
    for (const auto& [key, v] : other) {
        BinaryDistinctString k(key);
        auto it = into.find(k);
        if (it == into.end()) into.emplace(std::move(k), v);
        else it->second = strategy(it->second, v);
    }
}
// A copy of `map` with `other` merged in; `map` is unchanged.
template <class V, class K, class Strategy>
BinaryDistinctMap<V> merging(const BinaryDistinctMap<V>& map, const std::unordered_map<K, V>& other, Strategy&& strategy) {
    BinaryDistinctMap<V> copy = map;
    merge(copy, other, std::forward<Strategy>(strategy));
    return copy;
}

}  // namespace darori
