#include <gtest/gtest.h>

#include "Platform/Linux/AtspiOffsets.hpp"

namespace talkweft::platform::linuxdesktop {
namespace {

// "a😀b": code points a, 😀, b at UTF-16 offsets 0, 1, 3; the end at 4.
TEST(AtspiOffsetsTest, ConvertsBothWaysAndClampsOffsetsPastTheText) {
    const auto gtk = makeToolkitText("a\xF0\x9F\x98\x80" "b", OffsetUnits::codePoints);
    EXPECT_EQ(gtk.length(), 3);
    EXPECT_EQ(gtk.toUTF16(2), 3);
    EXPECT_EQ(gtk.toUTF16(3), 4);
    EXPECT_EQ(gtk.toUTF16(99), 4);  // a caret reported past the text
    EXPECT_EQ(gtk.toUTF16(-5), 0);
    EXPECT_EQ(gtk.fromUTF16(3), 2);
    EXPECT_EQ(gtk.fromUTF16(2), 2);  // inside the emoji: past it
    EXPECT_EQ(gtk.fromUTF16(5), std::nullopt);
    EXPECT_EQ(gtk.fromUTF16(-1), std::nullopt);

    const auto qt = makeToolkitText("a\xF0\x9F\x98\x80" "b", OffsetUnits::utf16);
    EXPECT_EQ(qt.length(), 4);
    EXPECT_EQ(qt.toUTF16(3), 3);
    EXPECT_EQ(qt.toUTF16(7), 4);
    EXPECT_EQ(qt.fromUTF16(4), 4);

    const auto empty = makeToolkitText("", OffsetUnits::codePoints);
    EXPECT_EQ(empty.toUTF16(3), 0);
    EXPECT_EQ(empty.fromUTF16(0), 0);
    // Bad bytes from an app are repaired, not read past.
    EXPECT_EQ(makeToolkitText("a\xF0", OffsetUnits::codePoints).utf8, "a\xEF\xBF\xBD");
}

TEST(AtspiOffsetsTest, DetectsTheUnitsFromTheCharacterCount) {
    const auto t = makeToolkitText("\xC3\xA9\xF0\x9F\x98\x80", OffsetUnits::codePoints);  // é😀: 2 code points, 3 units
    EXPECT_EQ(detectUnits(2, t), OffsetUnits::codePoints);
    EXPECT_EQ(detectUnits(3, t), OffsetUnits::utf16);
    EXPECT_EQ(detectUnits(9, t), std::nullopt);  // a count past the text tells nothing
    EXPECT_EQ(detectUnits(5, makeToolkitText("h\xC3\xA9llo", OffsetUnits::codePoints)), std::nullopt);
}

}  // namespace
}  // namespace talkweft::platform::linuxdesktop
