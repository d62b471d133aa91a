#include "Platform/Linux/AtspiOffsets.hpp"

#include <algorithm>

#include "Unicode/Unicode.hpp"

namespace talkweft::platform::linuxdesktop {

std::int64_t ToolkitText::length() const {
    return units == OffsetUnits::utf16 ? static_cast<std::int64_t>(utf16Length) : static_cast<std::int64_t>(cpStart.size()) - 1;
}

std::int64_t ToolkitText::toUTF16(std::int64_t offset) const {
    offset = std::clamp<std::int64_t>(offset, 0, length());
    return units == OffsetUnits::utf16 ? offset : cpStart[static_cast<std::size_t>(offset)];
}

std::optional<std::int64_t> ToolkitText::fromUTF16(std::int64_t offset) const {
    if (offset < 0 || offset > static_cast<std::int64_t>(utf16Length)) return std::nullopt;
    if (units == OffsetUnits::utf16) return offset;
    return std::lower_bound(cpStart.begin(), cpStart.end(), offset) - cpStart.begin();
}

ToolkitText makeToolkitText(std::string_view utf8, OffsetUnits units) {
    ToolkitText t;
    t.utf8 = unicode::repairUTF8(utf8);
    t.units = units;
    std::int64_t u = 0;
    for (std::size_t i = 0; i < t.utf8.size();) {
        t.cpStart.push_back(u);
        u += unicode::decodeAt(t.utf8, i) > 0xFFFF ? 2 : 1;
    }
    t.cpStart.push_back(u);
    t.utf16Length = static_cast<std::size_t>(u);
    return t;
}

std::optional<OffsetUnits> detectUnits(std::int64_t characterCount, const ToolkitText& text) {
    const auto codePoints = static_cast<std::int64_t>(text.cpStart.size()) - 1;
    const auto units16 = static_cast<std::int64_t>(text.utf16Length);
    if (codePoints == units16) return std::nullopt;
    if (characterCount == units16) return OffsetUnits::utf16;
    if (characterCount == codePoints) return OffsetUnits::codePoints;
    return std::nullopt;
}

}  // namespace talkweft::platform::linuxdesktop
