// The panel's sizes for long texts, from Qt's text layout: rows wrap within the 520-point limit,
// the thinking instruction stops at three lines.
#include "HUDWindowSupport.hpp"  // first: Qt before Xlib

#include <cmath>
#include <string>

#include <QFontMetricsF>

namespace desktoptest {
namespace {

using talkweft::platform::PanelContent;
using talkweft::platform::Size;
using talkweft::platform::linuxdesktop::QtPanel;

class HUDContentTest : public HUDWindowSuite {};

std::string words(int n) {
    std::string out = "“";
    for (int i = 0; i < n; ++i) out += (i ? " " : "") + std::string("instruction");
    return out + "”";
}

TEST_F(HUDContentTest, LongTextsWrapWithinTheWidthAndTheInstructionStopsAtThreeLines) {
    HUD_NEED_QT_ON_X11();
    QtPanel panel;
    const double line = QFontMetricsF(panel.window()->font()).lineSpacing();

    auto thinking = [&](const std::string& detail) {
        PanelContent c;
        c.kind = PanelContent::Kind::thinking;
        c.icon = "sparkles";
        c.tint = "purple";
        c.pulsing = true;
        c.text = "Working… 3s · Esc cancels";
        c.detail = detail;
        panel.setContent(c);
        return panel.fittingSize();
    };
    const Size one = thinking(words(2)), two = thinking(words(12)), many = thinking(words(300));
    EXPECT_LT(one.width, 520);
    EXPECT_LE(two.width, 520);
    EXPECT_GT(two.width, 400);  // wrapped: as wide as its widest line
    EXPECT_NEAR(two.height - one.height, line, 1);
    EXPECT_LE(many.width, 520);
    EXPECT_NEAR(many.height - one.height, 2 * line, 1);

    PanelContent note;
    note.kind = PanelContent::Kind::row;
    note.icon = "checkmark.circle.fill";
    note.tint = "green";
    note.text = "Short";
    panel.setContent(note);
    const Size shortNote = panel.fittingSize();
    note.text = words(40);
    panel.setContent(note);
    const Size longNote = panel.fittingSize();
    EXPECT_LE(longNote.width, 520);
    EXPECT_GT(longNote.width, 400);
    EXPECT_GT(longNote.height, shortNote.height + line);
}

}  // namespace
}  // namespace desktoptest
