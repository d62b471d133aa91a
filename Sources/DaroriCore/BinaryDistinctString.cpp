#include "DaroriCore/BinaryDistinctString.hpp"

#include <cstdio>
#include <algorithm>
#include <cstdlib>

#include "Unicode/Unicode.hpp"

namespace darori {
namespace {

[[noreturn]] void outOfBounds() {
    std::fputs("Index out of bounds\n", stderr);
    std::abort();
}

// The UTF-16 code units of a text, the storage of the byte-exact strings.
std::vector<std::uint16_t> utf16Units(std::string_view s) {
    const std::u16string units = unicode::toUTF16(s);
    return std::vector<std::uint16_t>(units.begin(), units.end());
}

std::string fromUnits(const std::vector<std::uint16_t>& units) {
    return unicode::fromUTF16(std::u16string(units.begin(), units.end()));
}

}  // namespace

BinaryDistinctCharacter::BinaryDistinctCharacter(std::string_view text) : bytes(utf16Units(text)) {}

std::string BinaryDistinctCharacter::description() const {
    std::string out = "BinaryDistinctCharacter('" + fromUnits(bytes) + "', bytes: [";
    char buf[16];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "0x%02X", bytes[i]);
        out += (i ? ", \"" : "\"");
        out += buf;
        out += '"';
    }
    return out + "])";
}

BinaryDistinctString::BinaryDistinctString(std::string_view text) : value(utf16Units(text)) {}

BinaryDistinctString::BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters) {
    for (const auto& c : characters) value.insert(value.end(), c.bytes.begin(), c.bytes.end());
}

std::string BinaryDistinctString::string() const { return fromUnits(value); }

std::size_t BinaryDistinctString::count() const {
    return unicode::characterBoundaries(string()).size() - 1;
}

BinaryDistinctString operator+(const BinaryDistinctString& a, const BinaryDistinctString& b) {
    BinaryDistinctString out(a.value);
    out.value.insert(out.value.end(), b.value.begin(), b.value.end());
    return out;
}

bool BinaryDistinctString::hasPrefix(const BinaryDistinctString& prefix) const {
    return prefix.value.size() <= value.size() &&
           std::equal(prefix.value.begin(), prefix.value.end(), value.begin());
}

bool BinaryDistinctString::hasSuffix(const BinaryDistinctString& suffix) const {
    return suffix.value.size() <= value.size() &&
           std::equal(suffix.value.begin(), suffix.value.end(), value.end() - static_cast<std::ptrdiff_t>(suffix.value.size()));
}

BinaryDistinctString BinaryDistinctString::lowercased() const {
    const std::string s = string();
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const char32_t cp = unicode::decodeAt(s, i);
        unicode::appendLowercased(out, cp);
    }
    return BinaryDistinctString(out);
}

BinaryDistinctString BinaryDistinctString::replacingOccurrences(const BinaryDistinctString& of,
                                                                const BinaryDistinctString& with) const {
    const std::string s = string();
    const std::string target = unicode::nfd(of.string());
    if (target.empty()) return *this;
    const std::string replacement = with.string();
    const auto bounds = unicode::characterBoundaries(s);
    // Each character decomposed once: a character boundary never splits a combining sequence, so the
    // decomposition of a run of characters is the concatenation of theirs.
    std::vector<std::string> pieces;
    pieces.reserve(bounds.size() - 1);
    for (std::size_t k = 0; k + 1 < bounds.size(); ++k) {
        pieces.push_back(unicode::nfd(std::string_view(s).substr(bounds[k], bounds[k + 1] - bounds[k])));
    }
    std::string out;
    std::size_t copiedUpTo = 0;
    for (std::size_t i = 0; i + 1 < bounds.size();) {
        std::size_t matchEnd = 0;
        std::size_t matched = 0;  // bytes of `target` matched by characters i ..< j
        for (std::size_t j = i + 1; j < bounds.size(); ++j) {
            const std::string& piece = pieces[j - 1];
            if (matched + piece.size() > target.size() || target.compare(matched, piece.size(), piece) != 0) break;
            matched += piece.size();
            if (matched == target.size()) {
                matchEnd = j;
                break;
            }
        }
        if (matchEnd) {
            out.append(s, copiedUpTo, bounds[i] - copiedUpTo);
            out += replacement;
            copiedUpTo = bounds[matchEnd];
            i = matchEnd;
        } else {
            ++i;
        }
    }
    out.append(s, copiedUpTo, std::string::npos);
    return BinaryDistinctString(out);
}

std::vector<BinaryDistinctCharacter> BinaryDistinctString::characters() const {
    const std::string s = string();
    const auto bounds = unicode::characterBoundaries(s);
    std::vector<BinaryDistinctCharacter> out;
    out.reserve(bounds.size() - 1);
    for (std::size_t i = 0; i + 1 < bounds.size(); ++i) {
        out.emplace_back(std::string_view(s).substr(bounds[i], bounds[i + 1] - bounds[i]));
    }
    return out;
}

std::ptrdiff_t BinaryDistinctString::index(std::ptrdiff_t position, std::ptrdiff_t offsetBy) const {
    std::ptrdiff_t result = 0;
    if (__builtin_add_overflow(position, offsetBy, &result) || result < 0 ||
        result > static_cast<std::ptrdiff_t>(count())) {
        outOfBounds();
    }
    return result;
}

std::optional<std::ptrdiff_t> BinaryDistinctString::index(std::ptrdiff_t position, std::ptrdiff_t offsetBy,
                                                          std::ptrdiff_t limitedBy) const {
    std::ptrdiff_t result = 0;
    if (__builtin_add_overflow(position, offsetBy, &result) || result > limitedBy) return std::nullopt;
    return result;
}

BinaryDistinctString BinaryDistinctString::substring(std::ptrdiff_t lower, std::ptrdiff_t upper) const {
    const auto chars = characters();
    if (lower < 0 || upper > static_cast<std::ptrdiff_t>(chars.size()) || lower > upper) outOfBounds();
    return BinaryDistinctString(std::vector<BinaryDistinctCharacter>(chars.begin() + lower, chars.begin() + upper));
}

BinaryDistinctString BinaryDistinctString::substring(std::ptrdiff_t lower) const {
    return substring(lower, static_cast<std::ptrdiff_t>(count()));
}

std::size_t detail::hashUnits(const std::vector<std::uint16_t>& units) noexcept {
    std::uint64_t h = 1469598103934665603ull;
    auto feed = [&](std::uint64_t v) { h = (h ^ v) * 1099511628211ull; };
    feed(units.size());
    for (const auto u : units) feed(u);
    return static_cast<std::size_t>(h);
}

}  // namespace darori

std::size_t std::hash<darori::BinaryDistinctString>::operator()(const darori::BinaryDistinctString& s) const noexcept {
    return darori::detail::hashUnits(s.value);
}
std::size_t std::hash<darori::BinaryDistinctCharacter>::operator()(const darori::BinaryDistinctCharacter& c) const noexcept {
    return darori::detail::hashUnits(c.bytes);
}
