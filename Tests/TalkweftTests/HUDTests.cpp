#include "Talkweft/HUD.hpp"

#include <gtest/gtest.h>

#include "Platform/Headless/Desktop.hpp"
#include "Platform/Headless/Panel.hpp"
#include "Talkweft/HUDView.hpp"

using namespace talkweft;
using platform::Rect;
using platform::TextRun;

namespace {

// One 1440 x 900 screen whose visible frame leaves 25 points at the top (bottom-left origin).
struct HUDTest : ::testing::Test {
    platform::headless::Desktop desktop;
    platform::headless::Panel panel;
    bool wired = (desktop.platform().panel = &panel, true);
    platform::ScopedPlatform scope{desktop.platform()};
    HUD hud;
};

}  // namespace

TEST_F(HUDTest, PlacesThePanelBelowTheCaretAboveItNearTheBottomAndInsideTheScreen) {
    hud.show(HUDState::listening(Mode::dictate, false), Rect{100, 200, 2, 16});
    Rect f = panel.frame();
    EXPECT_EQ(f.x, 100);
    EXPECT_EQ(f.y + f.height, 900 - 216 - 8) << "top 8 points below the caret's bottom";
    EXPECT_TRUE(panel.visible);
    EXPECT_TRUE(panel.ignoresMouse);

    hud.show(HUDState::listening(Mode::dictate, false), Rect{100, 890, 2, 8});
    EXPECT_EQ(panel.frame().y, 900 - 890 + 8) << "bottom 8 points above the caret's top";

    hud.show(HUDState::listening(Mode::dictate, false), Rect{1430, 300, 2, 16});
    EXPECT_EQ(panel.frame().x + panel.frame().width, 1440 - 8);
}

TEST_F(HUDTest, WithoutCaretGoesTopCentreOrKeepsItsTopEdge) {
    hud.show(HUDState::transcribing(Mode::agent));
    Rect f = panel.frame();
    EXPECT_DOUBLE_EQ(f.x + f.width / 2, 720);
    EXPECT_EQ(f.y + f.height, 875 - 24);
    EXPECT_EQ(panel.content.tint, "purple");

    hud.show(HUDState::listening(Mode::dictate, false), Rect{300, 300, 2, 16});
    Rect before = panel.frame();
    hud.show(HUDState::error("Transcription failed: boom"));
    Rect after = panel.frame();
    EXPECT_EQ(after.x, before.x);
    EXPECT_EQ(after.y + after.height, before.y + before.height) << "the top edge stays, the panel grows downward";
    EXPECT_FALSE(panel.ignoresMouse);
}

TEST_F(HUDTest, NotesHideThemselvesUnlessReplaced) {
    hud.show(HUDState::note("History cleared"));
    desktop.loop().advance(platform::seconds(1.1));
    EXPECT_TRUE(panel.visible);
    desktop.loop().advance(platform::seconds(0.2));
    EXPECT_FALSE(panel.visible);
    EXPECT_EQ(hud.state().kind, HUDState::Kind::hidden);

    hud.show(HUDState::note("Cancelled"));
    desktop.loop().advance(platform::seconds(1.0));
    hud.show(HUDState::reply("Answer"));
    desktop.loop().advance(platform::seconds(5));
    EXPECT_TRUE(panel.visible) << "a later show cancels the note's hide";
    panel.clickClose();
    desktop.loop().runPending();
    EXPECT_FALSE(panel.visible);
}

TEST_F(HUDTest, ThinkingCountsSecondsAndRowsSayWhatHappens) {
    hud.show(HUDState::thinking("fix it", desktop.loop().now()));
    EXPECT_EQ(panel.content.text, "Working… 0s · Esc cancels");
    desktop.loop().advance(platform::seconds(12.5));
    EXPECT_EQ(panel.content.text, "Working… 12s · Esc cancels");
    EXPECT_EQ(panel.content.detail, "“fix it”");

    struct Case { HUDState state; const char* icon; const char* text; };
    for (const Case& c : {Case{HUDState::listening(Mode::dictate, true), "mic.fill", "Listening… (replaces the selection)"},
                          Case{HUDState::listening(Mode::agent, false), "sparkles", "Listening for an instruction…"},
                          Case{HUDState::listening(Mode::agent, true), "sparkles", "Listening… (applies to the selection)"},
                          Case{HUDState::note("Done"), "checkmark.circle.fill", "Done"}}) {
        auto content = calcPanelContent(c.state, {}, panel);
        EXPECT_EQ(content.icon, c.icon);
        EXPECT_EQ(content.text, c.text);
    }
}

TEST_F(HUDTest, ReplyHeightIsBoundedByTheScreen) {
    auto one = calcPanelContent(HUDState::reply("short"), {}, panel);
    EXPECT_EQ(one.messageHeight, 16 + 6);
    auto tall = calcPanelContent(HUDState::reply(std::string(2000, '\n')), {}, panel);
    EXPECT_DOUBLE_EQ(tall.messageHeight, 875 * 0.6);
    panel.mainScreenIndex.reset();
    EXPECT_EQ(calcPanelContent(HUDState::reply(std::string(2000, '\n')), {}, panel).messageHeight, 480);
}

TEST(ReplyText, InlineMarkdown) {
    auto runs = calcReplyText("Use **bold**, *it*, `a*b*` and [docs](https://x.y)\nnext\\*");
    std::vector<TextRun> want{{"Use ", false, false, false, ""},  {"bold", true, false, false, ""},
                              {", ", false, false, false, ""},    {"it", false, true, false, ""},
                              {", ", false, false, false, ""},    {"a*b*", false, false, true, ""},
                              {" and ", false, false, false, ""}, {"docs", false, false, false, "https://x.y"},
                              {"\nnext*", false, false, false, ""}};
    EXPECT_EQ(runs, want);
    EXPECT_EQ(calcReplyText("2 * 3 = 6 and snake_case_name"),
              (std::vector<TextRun>{{"2 * 3 = 6 and snake_case_name", false, false, false, ""}}));
    EXPECT_EQ(calcReplyText("bad \xff byte"), (std::vector<TextRun>{{"bad \xff byte", false, false, false, ""}}));
}

TEST(ReplyText, HugeOrDeeplyNestedRepliesNeitherCrashNorStall) {
    // A million nested links would take one stack frame each.
    std::string deep = std::string(200000, '[') + "x";
    for (int i = 0; i < 200000; ++i) deep += "](y)";
    EXPECT_EQ(calcReplyText(deep), (std::vector<TextRun>{{deep, false, false, false, ""}}));
    std::string nested = "x";
    for (int i = 0; i < 40; ++i) nested = "*a " + nested + " a*";
    auto runs = calcReplyText(nested);
    ASSERT_FALSE(runs.empty());
    EXPECT_TRUE(runs.front().italic);
    // Unclosed markers make every opener search to the end; past the limit the text stays plain.
    std::string unclosed;
    while (unclosed.size() <= MAX_MARKDOWN_BYTES) unclosed += "**a ";
    EXPECT_EQ(calcReplyText(unclosed), (std::vector<TextRun>{{unclosed, false, false, false, ""}}));
}
