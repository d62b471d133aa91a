// Text offsets of AT-SPI fields: GTK counts code points, Qt counts UTF-16 code units, and the
// platform interface speaks UTF-16. A field's text with the maps between the two.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace talkweft::platform::linuxdesktop {

enum class OffsetUnits { codePoints, utf16 };

struct ToolkitText {
    std::string utf8;                   // the text (invalid UTF-8 repaired)
    std::size_t utf16Length = 0;
    std::vector<std::int64_t> cpStart;  // UTF-16 offset of each code point, then the end
    OffsetUnits units = OffsetUnits::codePoints;

    // The text's length in the toolkit's units.
    std::int64_t length() const;
    // A toolkit offset as a UTF-16 offset; an offset outside the text is clamped to it.
    std::int64_t toUTF16(std::int64_t offset) const;
    // A UTF-16 offset as a toolkit offset (one inside a surrogate pair moves past the character);
    // absent outside the text.
    std::optional<std::int64_t> fromUTF16(std::int64_t offset) const;
};

ToolkitText makeToolkitText(std::string_view utf8, OffsetUnits units);

// The units a field counts in, told by its character count against its text; absent when the
// count cannot tell (the text has no character outside the basic plane, or the count fits neither).
std::optional<OffsetUnits> detectUnits(std::int64_t characterCount, const ToolkitText& text);

}  // namespace talkweft::platform::linuxdesktop
