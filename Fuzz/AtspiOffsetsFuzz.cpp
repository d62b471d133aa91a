// The offset maps of an AT-SPI field on arbitrary text (as an app may send it) and arbitrary
// offsets and character counts: conversions stay inside the text and agree with each other.
// Input: 8 bytes of offset, 8 bytes of character count, then the text.
#include "FuzzInput.hpp"
#include "Platform/Linux/AtspiOffsets.hpp"
#include "Unicode/Unicode.hpp"

using talkweft::platform::linuxdesktop::OffsetUnits;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input = fuzz::asText(data, size);
    const std::int64_t offset = fuzz::takeInteger(input);
    const std::int64_t count = fuzz::takeInteger(input);
    for (OffsetUnits units : {OffsetUnits::codePoints, OffsetUnits::utf16}) {
        const auto t = talkweft::platform::linuxdesktop::makeToolkitText(input, units);
        FUZZ_CHECK(t.utf16Length == unicode::utf16Length(t.utf8));
        const std::int64_t u = t.toUTF16(offset);
        FUZZ_CHECK(u >= 0 && u <= static_cast<std::int64_t>(t.utf16Length));
        // A UTF-16 offset on a character boundary goes there and back unchanged.
        const auto back = t.fromUTF16(u);
        FUZZ_CHECK(back.has_value() && *back >= 0 && *back <= t.length());
        FUZZ_CHECK(t.toUTF16(*back) == u);
        const auto any = t.fromUTF16(offset);
        FUZZ_CHECK(any.has_value() == (offset >= 0 && offset <= static_cast<std::int64_t>(t.utf16Length)));
        if (const auto told = talkweft::platform::linuxdesktop::detectUnits(count, t))
            FUZZ_CHECK(count == (*told == OffsetUnits::utf16 ? static_cast<std::int64_t>(t.utf16Length)
                                                              : static_cast<std::int64_t>(t.cpStart.size()) - 1));
    }
    return 0;
}
