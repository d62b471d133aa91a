// The Unicode helpers on arbitrary bytes: conversions agree with each other, the repair agrees with
// the JSON writer's (history files), the canonical forms agree with utf8proc's own, and every
// canonical match is canonically equal to the find text.
// Input: text, NUL, find.
#include <utf8proc.h>

#include <cstdlib>
#include <memory>

#include <nlohmann/json.hpp>

#include "FuzzInput.hpp"
#include "Unicode/Unicode.hpp"

namespace {

std::string utf8procForm(const std::string& clean, int options) {
    utf8proc_uint8_t* out = nullptr;
    const utf8proc_ssize_t n = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(clean.data()),
                                            static_cast<utf8proc_ssize_t>(clean.size()), &out,
                                            static_cast<utf8proc_option_t>(UTF8PROC_STABLE | options));
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> guard(out, &std::free);
    if (n < 0) return clean;
    return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input = fuzz::asText(data, size);
    const auto parts = fuzz::splitInput(input, 2);
    const std::string_view text = parts[0], find = parts[1];

    const std::string clean = unicode::repairUTF8(input);
    const std::u16string units = unicode::toUTF16(input);
    FUZZ_CHECK(units.size() == unicode::utf16Length(input));
    FUZZ_CHECK(unicode::fromUTF16(units) == clean);
    FUZZ_CHECK(unicode::repairUTF8(clean) == clean);
    FUZZ_CHECK(unicode::isValidUTF8(input) == (clean == input));
    FUZZ_CHECK(unicode::isValidUTF8(clean));
    const auto jsonText = [](const std::string& s) {
        return nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    };
    FUZZ_CHECK(jsonText(std::string(input)) == jsonText(clean));

    const std::size_t total = units.size();
    for (std::size_t offset : {std::size_t{0}, total / 3, total / 2, total, total + 1}) {
        const auto down = unicode::byteOffset(input, offset, false);
        const auto up = unicode::byteOffset(input, offset, true);
        FUZZ_CHECK(down.has_value() == (offset <= total) && up.has_value() == (offset <= total));
        if (down) FUZZ_CHECK(*down <= *up && *up <= input.size());
        unicode::utf16Substring(input, offset, total);
    }

    const auto bounds = unicode::characterBoundaries(text);
    FUZZ_CHECK(!bounds.empty() && bounds.front() == 0 && bounds.back() == text.size());
    for (std::size_t k = 1; k + 1 < bounds.size(); ++k) FUZZ_CHECK(bounds[k - 1] < bounds[k]);
    const std::size_t count = unicode::characterCount(text);
    FUZZ_CHECK(count == (text.empty() ? 0 : bounds.size() - 1));
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, count / 2, count}) {
        FUZZ_CHECK(unicode::prefixCharacters(text, n) + unicode::suffixCharacters(text, count - n) == text);
    }

    const std::string d = unicode::nfd(input);
    const std::string c = unicode::nfc(input);
    FUZZ_CHECK(d == utf8procForm(clean, UTF8PROC_DECOMPOSE));
    FUZZ_CHECK(c == utf8procForm(clean, UTF8PROC_COMPOSE));
    FUZZ_CHECK(unicode::canonicallyEqual(input, d) && unicode::canonicallyEqual(c, d));
    FUZZ_CHECK(unicode::nfd(d) == d && unicode::nfc(c) == c);

    for (const auto& span : unicode::findCanonical(text, find)) {
        FUZZ_CHECK(span.location + span.length <= unicode::utf16Length(text));
        FUZZ_CHECK(unicode::canonicallyEqual(unicode::utf16Substring(text, span.location, span.length), find));
    }

    unicode::lowercase(input);
    const std::string trimmed = unicode::trimWhitespace(input);
    FUZZ_CHECK(unicode::trimWhitespace(trimmed) == trimmed);
    return 0;
}
