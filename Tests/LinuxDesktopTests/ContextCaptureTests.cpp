// Context capture over real GTK and Qt fields: the application's capture reads them through the
// AT-SPI service (the rest of the platform is the simulated one, which names the frontmost app).
#include <string>

#include "DesktopSession.hpp"
#include "FieldApps.hpp"
#include "Platform/Headless/Desktop.hpp"
#include "Platform/Linux/AtspiAccessibility.hpp"
#include "Platform/Platform.hpp"
#include "Talkweft/ContextReader.hpp"

namespace desktoptest {
namespace {

using namespace talkweft;

class ContextCaptureTest : public DesktopSuite {};

struct CaptureCase {
    const char* name;
    const char* script;
    const char* field;
    std::string text;
    UTF16Range selection;
    std::string selected;
    const char* role;
};

TEST_F(ContextCaptureTest, CapturesWhatTheFocusedFieldHolds) {
    TALKWEFT_NEED_DESKTOP();
    // "Café ☕ 👩‍💻 née⏎fin": the emoji sequence spans 5 UTF-16 units (9-13).
    const std::string text = "Caf\xC3\xA9 \xE2\x98\x95 \xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB n\xC3\xA9" "e\nfin";
    const std::vector<CaptureCase> cases{
        {"gtk-view", "gtk_fields.py", "view", text, {7, 7}, "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB n", "AXTextArea"},
        {"qt-plain", "qt_fields.py", "plain", text, {7, 7}, "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB n", "AXTextArea"},
        {"gtk-entry", "gtk_fields.py", "entry", "d\xC3\xA9j\xC3\xA0 vu", {2, 0}, "", "AXTextField"},
    };
    platform::linuxdesktop::AtspiAccessibility ax;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string title = std::string("Capture ") + c.name;
        FieldApp app(*session(), c.script,
                     {"--title", title, std::string("--") + c.field, c.text, "--focus", c.field, "--select",
                      std::to_string(c.selection.location), std::to_string(c.selection.length)},
                     c.name);
        ASSERT_TRUE(app.waitReady());
        ASSERT_TRUE(waitForFocus(ax, app.pid()));
        platform::headless::Desktop desktop;
        desktop.platform().accessibility = &ax;
        desktop.addApp(app.pid(), std::string("org.talkweft.") + c.name, std::string(c.name));
        desktop.activate(app.pid());
        platform::ScopedPlatform scope(desktop.platform());

        auto cap = ContextReader::capture();
        ASSERT_TRUE(cap);
        EXPECT_EQ(cap->ctx.pid, app.pid());
        EXPECT_EQ(cap->ctx.bundleID, std::string("org.talkweft.") + c.name);
        EXPECT_EQ(cap->ctx.windowTitle, title);
        EXPECT_EQ(cap->ctx.role, c.role);
        EXPECT_EQ(cap->ctx.fieldText, c.text);
        EXPECT_TRUE(cap->ctx.fieldTextIsFull);
        EXPECT_EQ(cap->ctx.fieldTextBase, 0);
        EXPECT_EQ(cap->ctx.selection, c.selection);
        EXPECT_EQ(cap->ctx.selectedText, c.selected.empty() ? std::nullopt : std::optional(c.selected));
        EXPECT_FALSE(cap->secure);
        ASSERT_TRUE(cap->element);
        EXPECT_TRUE(cap->caret.has_value());
    }
}

TEST_F(ContextCaptureTest, PasswordFieldIsCapturedAsSecureWithoutItsText) {
    TALKWEFT_NEED_DESKTOP();
    platform::linuxdesktop::AtspiAccessibility ax;
    FieldApp app(*session(), "gtk_fields.py", {"--title", "Login", "--password", "hunter2", "--focus", "password"}, "gtk-password");
    ASSERT_TRUE(app.waitReady());
    ASSERT_TRUE(waitForFocus(ax, app.pid()));
    platform::headless::Desktop desktop;
    desktop.platform().accessibility = &ax;
    desktop.addApp(app.pid(), std::string("org.talkweft.login"), std::string("Login"));
    desktop.activate(app.pid());
    platform::ScopedPlatform scope(desktop.platform());

    auto cap = ContextReader::capture();
    ASSERT_TRUE(cap);
    EXPECT_TRUE(cap->secure);
    EXPECT_EQ(cap->ctx.role, "AXSecureTextField");
    EXPECT_EQ(cap->ctx.fieldText, std::nullopt);
    EXPECT_EQ(cap->ctx.selection, std::nullopt);
    EXPECT_EQ(cap->ctx.selectedText, std::nullopt);
    EXPECT_FALSE(cap->caret.has_value());
    EXPECT_EQ(cap->ctx.toJSON().dump().find("hunter2"), std::string::npos);
}

}  // namespace
}  // namespace desktoptest
