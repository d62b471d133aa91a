// A reply on the real panel window: its runs rendered in the text view at one size, the view's
// height from Qt's own layout (no scrolling for a short reply, a view of the limit's height that
// scrolls for a long one), Copy putting the Markdown source on the X clipboard and Close hiding the
// panel, both clicked for real, with the field's focus kept throughout.
#include "HUDWindowSupport.hpp"  // first: Qt before Xlib

#include <cmath>
#include <string>


#include "DesktopSession.hpp"
#include "FieldApps.hpp"
#include "Platform/Linux/LinuxDesktop.hpp"
#include "Platform/Linux/Qt/QtPanel.hpp"
#include "Talkweft/ContextReader.hpp"
#include "Talkweft/HUD.hpp"
#include "Talkweft/HUDView.hpp"

namespace desktoptest {
namespace {

using namespace talkweft;
using namespace std::chrono_literals;

class HUDReplyTest : public HUDWindowSuite {};

struct Fragment {
    QString text;
    QTextCharFormat format;
};

std::vector<Fragment> fragmentsOf(const QTextDocument& doc) {
    std::vector<Fragment> out;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it)
            if (it.fragment().isValid()) out.push_back({it.fragment().text(), it.fragment().charFormat()});
    return out;
}

QPoint centreOf(const QWidget* w) { return w->mapToGlobal(w->rect().center()); }

TEST_F(HUDReplyTest, ReplyRendersScrollsCopiesAndCloses) {
    HUD_NEED_QT_ON_X11();
    FieldApp app(*session(), "gtk_fields.py", {"--title", "Reply field", "--view", "draft", "--focus", "view", "--caret", "5"}, "gtk-reply");
    ASSERT_TRUE(app.waitReady());
    PanelOnDesktop on;
    auto& loop = on.desktop.loop();
    ASSERT_TRUE(waitForFocus(on.desktop.accessibility(), app.pid()));
    auto cap = ContextReader::capture();
    ASSERT_TRUE(cap && cap->caret && cap->element);
    const Window active = on.x.activeWindow(), focus = on.x.inputFocus();

    const std::string markdown = "Send **the draft** to *Sam* with `git push` and [the notes](https://example.com/notes).";
    HUD hud;
    hud.show(HUDState::reply(markdown), cap->caret);
    ASSERT_TRUE(pumpUntil(loop, [&] { return on.x.viewable(on.window); }));
    QTextBrowser* view = on.panel.messageView();
    ASSERT_TRUE(view->isVisible());

    // The runs as rendered: styles kept, one size throughout.
    const auto fragments = fragmentsOf(*view->document());
    QString shown;
    for (const auto& f : fragments) shown += f.text;
    EXPECT_EQ(shown, "Send the draft to Sam with git push and the notes.");
    const qreal size = fragments.front().format.fontPointSize();
    bool sawBold = false, sawItalic = false, sawCode = false, sawLink = false;
    for (const auto& f : fragments) {
        SCOPED_TRACE(f.text.toStdString());
        EXPECT_EQ(f.format.fontPointSize(), size);
        EXPECT_EQ(f.format.fontWeight() >= QFont::Bold, f.text == "the draft");
        sawBold |= f.text == "the draft";
        sawItalic |= f.text == "Sam" && f.format.fontItalic();
        sawCode |= f.text == "git push" && QFontInfo(f.format.font()).fixedPitch();
        sawLink |= f.text == "the notes" && f.format.anchorHref() == "https://example.com/notes";
    }
    EXPECT_TRUE(sawBold && sawItalic && sawCode && sawLink);

    // A one-line reply: a view just tall enough (Qt's own layout height, rounded up, plus the insets).
    EXPECT_EQ(view->height(), calcTextHeight(on.panel, calcReplyText(markdown), REPLY_WIDTH));
    EXPECT_EQ(view->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(view->width(), REPLY_WIDTH);
    EXPECT_EQ(on.panel.window()->width(), 520);

    // Buttons take clicks; the field keeps its focus.
    EXPECT_TRUE(on.panel.acceptsMouse());
    const QPoint copyAt = centreOf(on.panel.copyButton());
    EXPECT_EQ(on.x.windowAt(copyAt.x(), copyAt.y()), on.window);
    on.x.click(copyAt.x(), copyAt.y());
    std::string copied;
    ASSERT_TRUE(pumpUntil(loop, [&] {
        copied = session()->run({"xclip", "-selection", "clipboard", "-o"}, {}, 5s).out;
        return copied == markdown;
    })) << copied;
    EXPECT_EQ(on.x.activeWindow(), active);
    EXPECT_EQ(on.x.inputFocus(), focus);

    // A reply taller than the limit scrolls inside a view of the limit's height, shown from its top.
    std::string longReply;
    for (int i = 1; i <= 120; ++i) longReply += "Line " + std::to_string(i) + " of a **long** reply\n";
    hud.show(HUDState::reply(longReply), cap->caret);
    settle(loop);
    platform::Screen main;
    ASSERT_TRUE(on.panel.mainScreen(main));
    EXPECT_EQ(view->height(), std::ceil(std::max(main.visibleFrame.height * 0.6, 160.0)));  // whole pixels
    EXPECT_GT(view->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(view->verticalScrollBar()->value(), 0);
    auto g = on.x.geometry(on.window);
    ASSERT_TRUE(g);
    EXPECT_GE(g->y, 8);
    EXPECT_LE(g->y + g->height, 800 - 8);
    // The visible panel, grown and moved: the server has it where the panel says it is.
    const auto frame = on.panel.frame();
    EXPECT_EQ(*g, (platform::Rect{frame.x, 800 - frame.y - frame.height, frame.width, frame.height}));

    // Close, clicked for real, hides the on.panel.
    const QPoint closeAt = centreOf(on.panel.closeButton());
    on.x.click(closeAt.x(), closeAt.y());
    ASSERT_TRUE(pumpUntil(loop, [&] { return !on.x.viewable(on.window); }));
    EXPECT_EQ(hud.state(), HUDState::hidden());
    EXPECT_EQ(on.x.activeWindow(), active);
    EXPECT_EQ(on.x.inputFocus(), focus);
    EXPECT_EQ(cap->element->attribute(platform::AX_FOCUSED), platform::AXValue(true));
}

}  // namespace
}  // namespace desktoptest
