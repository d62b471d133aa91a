#include "Talkweft/Writer.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "TestSupport.hpp"

namespace talkweft {
namespace {

using namespace platform;

class WriterTests : public ::testing::Test {
protected:
    bool replace(const std::string& find, const std::string& with) {
        return writer.replace(TextEdit{find, with}, fx.field);
    }
    std::optional<AXRange> selectionWritten() const {
        std::optional<AXRange> last;
        for (const auto& [name, value] : fx.field->writes) {
            if (name == AX_SELECTED_TEXT_RANGE) last = std::get<AXRange>(value);
        }
        return last;
    }

    testing::DesktopFixture fx;
    PasteWriter writer;
};

TEST_F(WriterTests, EditsAreSelectedPastedAndSeenInTheFieldOneAfterAnother) {
    fx.desktop.pasteboard().setItems({{{std::string(PASTEBOARD_PLAIN_TEXT), std::string("mine")}}});
    fx.field->setText("one two one two");
    fx.field->setSelection({14, 0});  // caret near the second "two"
    EXPECT_TRUE(replace("two", "2"));
    EXPECT_EQ(fx.field->text(), "one two one 2");
    EXPECT_TRUE(replace("one", "1"));  // nearest to the caret after the first paste
    EXPECT_EQ(fx.field->text(), "one two 1 2");
    EXPECT_EQ(fx.field->writes.front().first, std::string(AX_FOCUSED));
    fx.desktop.loop().advance(seconds(1));
    EXPECT_EQ(fx.desktop.pasteboard().plainText(), "mine");
}

TEST_F(WriterTests, PartlyReadFieldShiftsTheCaretAndTheSelectionByItsBase) {
    // Only "beta and beta." at offset 300 is readable; the occurrence nearest the caret wins.
    struct Case {
        std::int64_t caret;
        AXRange selected;
        std::string after;
    };
    for (const Case& c : {Case{301, {300, 4}, "BETA and beta."}, Case{311, {309, 4}, "beta and BETA."}}) {
        SCOPED_TRACE(c.caret);
        fx.field->setText(std::string(300, '.') + "beta and beta." + std::string(100, '.'));
        fx.field->visibleOnly = AXRange{300, 14};
        fx.field->setSelection({c.caret, 0});
        EXPECT_TRUE(replace("beta", "BETA"));
        EXPECT_EQ(selectionWritten(), c.selected);
        EXPECT_EQ(fx.field->text().substr(300, 14), c.after);
    }
}

TEST_F(WriterTests, ComposedAndDecomposedTextMatchEachOther) {
    struct Case {
        std::string field, find;
        AXRange selected;
    };
    const std::string composed = "caf\xC3\xA9 au lait";     // é as one unit
    const std::string decomposed = "cafe\xCC\x81 au lait";  // e + combining acute: two units
    for (const Case& c : {Case{composed, "cafe\xCC\x81", {0, 4}}, Case{decomposed, "caf\xC3\xA9", {0, 5}}}) {
        fx.field->writes.clear();
        fx.field->setText(c.field);
        EXPECT_TRUE(replace(c.find, "tea"));
        EXPECT_EQ(selectionWritten(), c.selected);
        EXPECT_EQ(fx.field->text(), "tea au lait");
    }
}

TEST_F(WriterTests, SelectionReportedWithNoBreakSpacesAndCarriageReturnsStillVerifies) {
    fx.field->setText("first line\nsecond line");
    // The app reports the selection with no-break spaces and CRLF line ends.
    fx.field->selectedTextFilter = [](const std::string& s) {
        std::string out;
        for (char c : s) {
            if (c == ' ') {
                out += "\xC2\xA0";
            } else if (c == '\n') {
                out += "\r\n";
            } else {
                out.push_back(c);
            }
        }
        return out;
    };
    EXPECT_TRUE(replace("line\nsecond line", "line, second line"));
    EXPECT_EQ(fx.field->text(), "first line, second line");
}

TEST_F(WriterTests, FailuresPasteNothingAndSayWhyInTheLog) {
    fx.field->setText("Hello world");
    testing::LogMark mark;

    EXPECT_FALSE(replace("absent", "x"));
    EXPECT_NE(mark.since().find("Z replace: find text not in field\n"), std::string::npos);

    fx.field->readOnly = true;
    EXPECT_FALSE(replace("world", "x"));
    EXPECT_NE(mark.since().find("Z replace: couldn't set selection\n"), std::string::npos);
    fx.field->readOnly = false;

    fx.field->selectedTextFilter = [](std::string) { return std::string("something ok"); };
    EXPECT_FALSE(replace("Hello world!!!", "x"));  // not found...
    EXPECT_FALSE(replace("Hello", "x"));           // ...found, but the selection reads otherwise
    EXPECT_NE(mark.since().find("Z replace: selection mismatch (12 vs 5 chars)\n"), std::string::npos);
    fx.field->selectedTextFilter = nullptr;

    EXPECT_TRUE(fx.desktop.keyboard().posted.empty());
    EXPECT_EQ(fx.field->text(), "Hello world");

    // An unreadable field fails without a log line.
    testing::LogMark quiet;
    fx.field->answersValue = false;
    fx.field->answersCount = false;
    fx.field->visibleOnly = AXRange{0, 0};
    EXPECT_FALSE(replace("world", "x"));
    EXPECT_EQ(quiet.since(), "");
}

TEST_F(WriterTests, PasteLandingAfterThePollsCountsAsAppliedAndIsLogged) {
    // The paste lands 0.65 s after the keystroke: after the last poll, before the pasteboard is
    // given back.
    fx.field->setText("Hello world");
    fx.desktop.pasteDelay = seconds(0.65);
    testing::LogMark mark;
    const TimePoint start = fx.desktop.loop().now();
    EXPECT_TRUE(replace("world", "there"));
    // 0.04 s selection settle + 0.12 s paste settle + 15 polls of 0.03 s.
    EXPECT_EQ(fx.desktop.loop().now() - start, seconds(0.04 + 0.12 + 0.45));
    EXPECT_EQ(fx.field->text(), "Hello world");
    EXPECT_NE(mark.since().find("Z replace: field did not change\n"), std::string::npos);
    fx.desktop.loop().advance(seconds(1));
    EXPECT_EQ(fx.field->text(), "Hello there");
}

TEST_F(WriterTests, FailedKeystrokeIsNotReportedAsApplied) {
    fx.field->setText("Hello world");
    testing::LogMark mark;
    fx.desktop.keyboard().canCreateEvents = false;
    EXPECT_FALSE(replace("world", "there"));
    EXPECT_NE(mark.since().find("Z replace: paste keystroke failed\n"), std::string::npos);
    EXPECT_EQ(fx.field->text(), "Hello world");
}

TEST_F(WriterTests, EditThatLeavesTheTextAsItWasCountsAsApplied) {
    // Once pasted, the field holds what the edit asks for, so the missing change is no failure.
    struct Case {
        std::string find, with;
    };
    testing::LogMark mark;
    for (const Case& c : {Case{"Hello", "Hello"},
                          Case{"w\xC3\xB6rld", "wo\xCC\x88rld"}}) {  // equal up to canonical equivalence
        fx.field->setText("Hello w\xC3\xB6rld");
        EXPECT_TRUE(replace(c.find, c.with)) << c.with;
    }
    EXPECT_EQ(mark.since().find("replace:"), std::string::npos);
    // Even an app that ignores the paste leaves such a field as the edit wants it: no log line.
    fx.app->acceptsPaste = false;
    EXPECT_TRUE(replace("Hello", "Hello"));
    EXPECT_EQ(mark.since().find("replace:"), std::string::npos);
}

// A field that reports offsets at the very ends of the integer range: only "abc" at the largest
// possible offset is readable, and the caret sits at the smallest.
class ExtremeField : public headless::Node {
public:
    ExtremeField() : Node("AXTextArea") {
        set(AX_VISIBLE_CHARACTER_RANGE, AXRange{MAX, 3});
        set(AX_SELECTED_TEXT_RANGE, AXRange{std::numeric_limits<std::int64_t>::min(), 0});
        setSettable(AX_SELECTED_TEXT_RANGE, true);
    }
    static constexpr std::int64_t MAX = std::numeric_limits<std::int64_t>::max();

protected:
    std::optional<AXValue> computeParameterized(std::string_view name, const AXValue& parameter) const override {
        if (name == AX_STRING_FOR_RANGE && parameter == AXValue(AXRange{MAX, 3})) return AXValue(std::string("abc"));
        return std::nullopt;
    }
};

TEST_F(WriterTests, OffsetsAtTheIntegerLimitsFailCleanly) {
    auto odd = std::make_shared<ExtremeField>();
    testing::LogMark mark;
    // The selection would start past the largest offset: it cannot be made.
    EXPECT_FALSE(writer.replace(TextEdit{"bc", "x"}, odd));
    EXPECT_NE(mark.since().find("Z replace: couldn't set selection\n"), std::string::npos);
    EXPECT_TRUE(fx.desktop.keyboard().posted.empty());
}

TEST_F(WriterTests, PasteTypesAtTheCaret) {
    fx.field->setText("ab");
    fx.field->setSelection({1, 0});
    EXPECT_TRUE(writer.paste("X"));
    EXPECT_EQ(fx.field->text(), "aXb");
}

}  // namespace
}  // namespace talkweft
