#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "DesktopSession.hpp"
#include "FieldApps.hpp"
#include "Platform/Linux/AtspiAccessibility.hpp"
#include "Unicode/Unicode.hpp"

namespace desktoptest {
namespace {

using namespace std::chrono_literals;
using namespace talkweft::platform;
using talkweft::platform::linuxdesktop::AtspiAccessibility;

class AtspiAccessibilityTest : public DesktopSuite {};

std::optional<AXValue> attr(const AXElementRef& el, std::string_view name) { return el ? el->attribute(name) : std::nullopt; }

AXElementRef elementOf(const std::optional<AXValue>& v) {
    if (!v || !std::holds_alternative<AXElementRef>(*v)) return nullptr;
    return std::get<AXElementRef>(*v);
}

std::optional<Rect> frameOf(const AXElementRef& el) {
    auto pos = attr(el, AX_POSITION);
    auto size = attr(el, AX_SIZE);
    if (!pos || !size) return std::nullopt;
    const auto p = std::get<Point>(*pos);
    const auto s = std::get<Size>(*size);
    return Rect{p.x, p.y, s.width, s.height};
}

// "ligne 😀⏎çà 👍 fin": the emoji take two UTF-16 units each (6-7 and 12-13).
const std::string MULTI = "ligne \xF0\x9F\x98\x80\n\xC3\xA7\xC3\xA0 \xF0\x9F\x91\x8D fin";
// "héllo 😀 wörld": the emoji at 6-7.
const std::string SINGLE = "h\xC3\xA9llo \xF0\x9F\x98\x80 w\xC3\xB6rld";

struct FieldCase {
    const char* name;
    const char* script;
    const char* field;
    const std::string& text;
    AXRange selection;
    std::string selected;
    std::string_view role;
};

// Every attribute of a real field, in both toolkits' offset units, with emoji and accents.
TEST_F(AtspiAccessibilityTest, ReadsAndSelectsInGtkAndQtFields) {
    TALKWEFT_NEED_DESKTOP();
    const std::vector<FieldCase> cases{
        {"gtk-entry", "gtk_fields.py", "entry", SINGLE, {6, 2}, "\xF0\x9F\x98\x80", AX_ROLE_TEXT_FIELD},
        {"gtk-view", "gtk_fields.py", "view", MULTI, {9, 5}, "\xC3\xA7\xC3\xA0 \xF0\x9F\x91\x8D", AX_ROLE_TEXT_AREA},
        {"qt-plain", "qt_fields.py", "plain", MULTI, {9, 5}, "\xC3\xA7\xC3\xA0 \xF0\x9F\x91\x8D", AX_ROLE_TEXT_AREA},
        {"qt-line", "qt_fields.py", "line", SINGLE, {6, 2}, "\xF0\x9F\x98\x80", AX_ROLE_TEXT_FIELD},
    };
    AtspiAccessibility ax;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string title = std::string("Fields ") + c.name;
        FieldApp app(*session(), c.script,
                     {"--title", title, std::string("--") + c.field, c.text, "--focus", c.field, "--select",
                      std::to_string(c.selection.location), std::to_string(c.selection.length)},
                     c.name);
        ASSERT_TRUE(app.waitReady());
        auto field = waitForFocus(ax, app.pid());
        ASSERT_TRUE(field);

        const auto units = static_cast<std::int64_t>(unicode::utf16Length(c.text));
        EXPECT_EQ(attr(field, AX_ROLE), AXValue(std::string(c.role)));
        EXPECT_EQ(attr(field, AX_VALUE), AXValue(c.text));
        EXPECT_EQ(attr(field, AX_NUMBER_OF_CHARACTERS), AXValue(units));
        EXPECT_EQ(attr(field, AX_SELECTED_TEXT_RANGE), AXValue(c.selection));
        EXPECT_EQ(attr(field, AX_SELECTED_TEXT), AXValue(c.selected));
        EXPECT_EQ(field->parameterizedAttribute(AX_STRING_FOR_RANGE, AXValue(c.selection)), AXValue(c.selected));
        EXPECT_EQ(field->parameterizedAttribute(AX_STRING_FOR_RANGE, AXValue(AXRange{0, units + 1})), std::nullopt);
        EXPECT_TRUE(field->isSettable(AX_SELECTED_TEXT_RANGE));

        // Extents in screen coordinates, inside the field.
        auto frame = frameOf(field);
        ASSERT_TRUE(frame);
        auto bounds = field->parameterizedAttribute(AX_BOUNDS_FOR_RANGE, AXValue(c.selection));
        ASSERT_TRUE(bounds && std::holds_alternative<Rect>(*bounds));
        const Rect b = std::get<Rect>(*bounds);
        EXPECT_GT(b.width, 0);
        EXPECT_GT(b.height, 0);
        EXPECT_GE(b.x, frame->x);
        EXPECT_GE(b.y, frame->y);
        EXPECT_LE(b.x + b.width, frame->x + frame->width);
        EXPECT_LE(b.y + b.height, frame->y + frame->height);
        auto caret = field->parameterizedAttribute(AX_BOUNDS_FOR_RANGE, AXValue(AXRange{c.selection.location, 0}));
        ASSERT_TRUE(caret && std::holds_alternative<Rect>(*caret));
        EXPECT_EQ(std::get<Rect>(*caret).width, 0);
        EXPECT_EQ(std::get<Rect>(*caret).x, b.x);

        // The window and its title; the field's parents lead to it.
        auto window = elementOf(ax.application(app.pid())->attribute(AX_FOCUSED_WINDOW));
        EXPECT_EQ(attr(window, AX_TITLE), AXValue(title));
        EXPECT_EQ(attr(window, AX_ROLE), AXValue(std::string(AX_ROLE_WINDOW)));
        bool reachesWindow = false;
        AXElementRef up = field;
        for (int i = 0; i < 10 && up && !reachesWindow; ++i) {
            up = elementOf(attr(up, AX_PARENT));
            reachesWindow = up && window && up->isSameElement(*window);
        }
        EXPECT_TRUE(reachesWindow);

        // Setting the selection: a caret, a range ending after an emoji, a range past the text.
        EXPECT_TRUE(field->setAttribute(AX_SELECTED_TEXT_RANGE, AXValue(AXRange{c.selection.location, 0})));
        EXPECT_EQ(attr(field, AX_SELECTED_TEXT_RANGE), AXValue(AXRange{c.selection.location, 0}));
        const AXRange prefix{0, c.selection.location + c.selection.length};
        EXPECT_TRUE(field->setAttribute(AX_SELECTED_TEXT_RANGE, AXValue(prefix)));
        EXPECT_EQ(attr(field, AX_SELECTED_TEXT_RANGE), AXValue(prefix));
        EXPECT_EQ(attr(field, AX_SELECTED_TEXT), field->parameterizedAttribute(AX_STRING_FOR_RANGE, AXValue(prefix)));
        EXPECT_FALSE(field->setAttribute(AX_SELECTED_TEXT_RANGE, AXValue(AXRange{0, units + 1})));
        EXPECT_EQ(attr(field, AX_SELECTED_TEXT_RANGE), AXValue(prefix));
        // The app's own text is untouched by all of it.
        EXPECT_EQ(app.lastText(c.field), std::nullopt);
    }
}

// Writing the value and the selected text: offsets and the inserted text's length are in each
// toolkit's own units (bytes for GTK's insertion, UTF-16 units for Qt's).
TEST_F(AtspiAccessibilityTest, WritesValueAndSelectedTextInGtkAndQtFields) {
    TALKWEFT_NEED_DESKTOP();
    struct WriteCase {
        const char* name;
        const char* script;
        const char* field;
    };
    AtspiAccessibility ax;
    for (const WriteCase& c : {WriteCase{"gtk-entry-w", "gtk_fields.py", "entry"}, WriteCase{"gtk-view-w", "gtk_fields.py", "view"},
                               WriteCase{"qt-plain-w", "qt_fields.py", "plain"}, WriteCase{"qt-line-w", "qt_fields.py", "line"}}) {
        SCOPED_TRACE(c.name);
        // "wörld" after the emoji is selected.
        FieldApp app(*session(), c.script, {std::string("--") + c.field, SINGLE, "--focus", c.field, "--select", "9", "5"}, c.name);
        ASSERT_TRUE(app.waitReady());
        auto field = waitForFocus(ax, app.pid());
        ASSERT_TRUE(field);
        ASSERT_TRUE(field->isSettable(AX_SELECTED_TEXT));
        ASSERT_TRUE(field->isSettable(AX_VALUE));

        const std::string replaced = "h\xC3\xA9llo \xF0\x9F\x98\x80 m\xC3\xB6nde \xF0\x9F\x8E\x89";  // "héllo 😀 mönde 🎉"
        EXPECT_TRUE(field->setAttribute(AX_SELECTED_TEXT, AXValue(std::string("m\xC3\xB6nde \xF0\x9F\x8E\x89"))));
        EXPECT_TRUE(app.waitForText(c.field, replaced)) << app.lastText(c.field).value_or("(no change)");
        EXPECT_EQ(attr(field, AX_VALUE), AXValue(replaced));

        const std::string whole = "nouveau \xE2\x9C\x93 \xF0\x9F\x98\x80";  // "nouveau ✓ 😀"
        EXPECT_TRUE(field->setAttribute(AX_VALUE, AXValue(whole)));
        EXPECT_TRUE(app.waitForText(c.field, whole)) << app.lastText(c.field).value_or("(no change)");
        EXPECT_FALSE(field->setAttribute(AX_VALUE, AXValue(std::int64_t{3})));  // a value of the wrong kind
    }
}

// Taking the focus keeps the field's caret (a GTK entry would select all of its text), and a field
// that has the focus already is left alone.
TEST_F(AtspiAccessibilityTest, FocusWriteKeepsTheSelection) {
    TALKWEFT_NEED_DESKTOP();
    AtspiAccessibility ax;
    FieldApp app(*session(), "gtk_fields.py", {"--entry", SINGLE, "--focus", "entry", "--caret", "8"}, "gtk-refocus");
    ASSERT_TRUE(app.waitReady());
    auto entry = waitForFocus(ax, app.pid());
    ASSERT_TRUE(entry);
    EXPECT_TRUE(entry->setAttribute(AX_FOCUSED, AXValue(true)));
    EXPECT_EQ(attr(entry, AX_SELECTED_TEXT_RANGE), AXValue(AXRange{8, 0}));
    // Tab moves the focus to the text view; the entry takes it back through its focus flag.
    session()->run({"xdotool", "key", "Tab"});
    ASSERT_TRUE(DesktopSession::waitFor([&] { return attr(entry, AX_FOCUSED) == AXValue(false); }));
    EXPECT_TRUE(entry->setAttribute(AX_FOCUSED, AXValue(true)));
    EXPECT_TRUE(DesktopSession::waitFor([&] { return attr(entry, AX_FOCUSED) == AXValue(true); }));
    EXPECT_EQ(attr(entry, AX_SELECTED_TEXT_RANGE), AXValue(AXRange{8, 0}));
}

TEST_F(AtspiAccessibilityTest, PasswordFieldIsSecureAndAnswersNoText) {
    TALKWEFT_NEED_DESKTOP();
    AtspiAccessibility ax;
    FieldApp app(*session(), "gtk_fields.py", {"--password", "hunter2 s3cret", "--focus", "password", "--caret", "3"}, "gtk-password");
    ASSERT_TRUE(app.waitReady());
    auto field = waitForFocus(ax, app.pid());
    ASSERT_TRUE(field);
    EXPECT_EQ(attr(field, AX_ROLE), AXValue(std::string(AX_ROLE_SECURE_TEXT_FIELD)));
    for (auto name : {AX_VALUE, AX_SELECTED_TEXT, AX_SELECTED_TEXT_RANGE, AX_NUMBER_OF_CHARACTERS, AX_VISIBLE_CHARACTER_RANGE})
        EXPECT_EQ(attr(field, name), std::nullopt) << name;
    EXPECT_EQ(field->parameterizedAttribute(AX_STRING_FOR_RANGE, AXValue(AXRange{0, 3})), std::nullopt);
}

// Focus events move the system-wide focus from app to app; a service started after the focus
// was set finds it by searching the active window.
TEST_F(AtspiAccessibilityTest, SystemWideFocusFollowsTheFocusedApp) {
    TALKWEFT_NEED_DESKTOP();
    auto focusedIs = [](Accessibility& ax, const AXElementRef& expected) {
        return DesktopSession::waitFor([&] {
            auto now = elementOf(ax.systemWide()->attribute(AX_FOCUSED_UI_ELEMENT));
            return now && expected && now->isSameElement(*expected);
        });
    };
    FieldApp gtk(*session(), "gtk_fields.py", {"--title", "Focus first", "--entry", "one", "--focus", "entry"}, "gtk-first");
    ASSERT_TRUE(gtk.waitReady());
    {
        AtspiAccessibility ax;  // the focus was set before it started
        EXPECT_TRUE(focusedIs(ax, waitForFocus(ax, gtk.pid())));
    }
    AtspiAccessibility ax;
    FieldApp qt(*session(), "qt_fields.py", {"--plain", "two", "--focus", "plain"}, "qt-second");
    ASSERT_TRUE(qt.waitReady());
    auto qtField = waitForFocus(ax, qt.pid());
    ASSERT_TRUE(qtField);
    EXPECT_TRUE(focusedIs(ax, qtField));
    EXPECT_EQ(attr(qtField, AX_VALUE), AXValue(std::string("two")));
    // Back to the GTK app.
    session()->run({"xdotool", "search", "--name", "^Focus first$", "windowactivate"});
    auto gtkField = waitForFocus(ax, gtk.pid());
    ASSERT_TRUE(gtkField);
    EXPECT_TRUE(focusedIs(ax, gtkField));
    EXPECT_FALSE(gtkField->isSameElement(*qtField));
}

// A stopped app never answers: reads fail within the timeout and later ones fail at once; the app
// answers again once it runs.
TEST_F(AtspiAccessibilityTest, HungAppMakesCallsFailWithinTheTimeout) {
    TALKWEFT_NEED_DESKTOP();
    AtspiAccessibility ax(1000ms);
    FieldApp app(*session(), "gtk_fields.py", {"--view", "still here", "--focus", "view"}, "gtk-hung");
    ASSERT_TRUE(app.waitReady());
    auto field = waitForFocus(ax, app.pid());
    ASSERT_TRUE(field);
    ASSERT_EQ(::kill(app.pid(), SIGSTOP), 0);
    const auto start = std::chrono::steady_clock::now();
    // First the focus known from events, whose check of the stopped app's states times out.
    EXPECT_EQ(ax.systemWide()->attribute(AX_FOCUSED_UI_ELEMENT), std::nullopt);
    EXPECT_EQ(attr(field, AX_VALUE), std::nullopt);
    EXPECT_EQ(attr(field, AX_SELECTED_TEXT_RANGE), std::nullopt);
    EXPECT_EQ(attr(field, AX_ROLE), std::nullopt);
    EXPECT_FALSE(field->isSettable(AX_SELECTED_TEXT_RANGE));
    EXPECT_FALSE(field->setAttribute(AX_SELECTED_TEXT_RANGE, AXValue(AXRange{0, 1})));
    EXPECT_EQ(ax.application(app.pid())->attribute(AX_FOCUSED_UI_ELEMENT), std::nullopt);
    // One timeout for all of them (seven would take at least 7 s).
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    ASSERT_EQ(::kill(app.pid(), SIGCONT), 0);
    EXPECT_TRUE(DesktopSession::waitFor([&] { return attr(field, AX_VALUE) == AXValue(std::string("still here")); }));
}

TEST_F(AtspiAccessibilityTest, TrustedMeansTheAccessibilityBusIsOnAndThePromptTurnsItOn) {
    TALKWEFT_NEED_DESKTOP();
    AtspiAccessibility ax;
    EXPECT_TRUE(ax.isProcessTrusted(false));
    auto setEnabled = [&](bool on) {
        return session()->run({"dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                               "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status", "string:IsEnabled",
                               std::string("variant:boolean:") + (on ? "true" : "false")}).status == 0;
    };
    ASSERT_TRUE(setEnabled(false));
    EXPECT_FALSE(ax.isProcessTrusted(false));
    EXPECT_FALSE(ax.isProcessTrusted(false));  // asking without the prompt changes nothing
    EXPECT_TRUE(ax.isProcessTrusted(true));
    const auto bus = session()->run({"dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                                     "org.freedesktop.DBus.Properties.Get", "string:org.a11y.Status", "string:IsEnabled"});
    EXPECT_NE(bus.out.find("boolean true"), std::string::npos) << bus.out;
}

}  // namespace
}  // namespace desktoptest
