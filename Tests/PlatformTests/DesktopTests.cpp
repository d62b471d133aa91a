#include "Platform/Headless/Desktop.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace talkweft::platform::headless {
namespace {

std::optional<std::string> stringOf(const std::optional<AXValue>& v) {
    if (!v) return std::nullopt;
    if (const auto* s = std::get_if<std::string>(&*v)) return *s;
    return std::nullopt;
}

TEST(DesktopTests, TextFieldAnswersInUTF16UnitsAndSelectsThroughTheRangeAttribute) {
    auto field = std::make_shared<TextField>("a😀b");  // the emoji is two UTF-16 units
    EXPECT_EQ(stringOf(field->attribute(AX_VALUE)), "a😀b");
    EXPECT_EQ(std::get<std::int64_t>(*field->attribute(AX_NUMBER_OF_CHARACTERS)), 4);
    EXPECT_EQ(stringOf(field->parameterizedAttribute(AX_STRING_FOR_RANGE, AXRange{1, 2})), "😀");
    EXPECT_FALSE(field->parameterizedAttribute(AX_STRING_FOR_RANGE, AXRange{3, 2}));  // past the end
    constexpr std::int64_t MAX = std::numeric_limits<std::int64_t>::max();
    EXPECT_FALSE(field->parameterizedAttribute(AX_STRING_FOR_RANGE, AXRange{1, MAX}));  // no wrap-around
    EXPECT_FALSE(field->parameterizedAttribute(AX_BOUNDS_FOR_RANGE, AXRange{MAX, 1}));
    EXPECT_FALSE(field->setAttribute(AX_SELECTED_TEXT_RANGE, AXRange{2, MAX}));
    ASSERT_TRUE(field->setAttribute(AX_SELECTED_TEXT_RANGE, AXRange{1, 2}));
    EXPECT_EQ(stringOf(field->attribute(AX_SELECTED_TEXT)), "😀");
    EXPECT_FALSE(field->setAttribute(AX_SELECTED_TEXT_RANGE, AXRange{2, 9}));
    EXPECT_FALSE(field->setAttribute(AX_SELECTED_TEXT_RANGE, std::string("wrong kind")));

    field->remove();
    EXPECT_FALSE(field->attribute(AX_VALUE));
    EXPECT_FALSE(field->setAttribute(AX_SELECTED_TEXT_RANGE, AXRange{0, 0}));
}

TEST(DesktopTests, ElementThatIsItsOwnParentAnswersWithoutHanging) {
    auto loop = std::make_shared<TextField>("x");
    loop->setParent(loop);
    EXPECT_EQ(loop->app(), nullptr);
    EXPECT_EQ(std::get<bool>(*loop->attribute(AX_FOCUSED)), false);
    EXPECT_TRUE(loop->setAttribute(AX_FOCUSED, true));  // no app to focus it in: nothing else happens
}

TEST(DesktopTests, PartlyVisibleAndSecureFieldsHideWhatTheyShould) {
    TextField visible(std::string(500, 'x'));
    visible.visibleOnly = AXRange{300, 80};
    EXPECT_FALSE(visible.attribute(AX_VALUE));
    EXPECT_FALSE(visible.attribute(AX_NUMBER_OF_CHARACTERS));
    EXPECT_EQ(std::get<AXRange>(*visible.attribute(AX_VISIBLE_CHARACTER_RANGE)), (AXRange{300, 80}));
    EXPECT_TRUE(visible.parameterizedAttribute(AX_STRING_FOR_RANGE, AXRange{300, 80}));
    EXPECT_FALSE(visible.parameterizedAttribute(AX_STRING_FOR_RANGE, AXRange{0, 80}));

    TextField secret("hunter2", std::string(AX_ROLE_SECURE_TEXT_FIELD));
    EXPECT_FALSE(secret.attribute(AX_VALUE));
    EXPECT_FALSE(secret.attribute(AX_SELECTED_TEXT));
}

TEST(DesktopTests, CommandVPastesThePasteboardTextIntoTheFocusedFieldAfterTheDelay) {
    Desktop desktop;
    auto app = desktop.addApp(42, "org.example.Editor", "Editor");
    auto window = app->addWindow("Notes");
    auto field = std::make_shared<TextField>("Hello world");
    window->addChild(field);
    app->focus(field);
    desktop.activate(42);
    field->setSelection({5, 0});
    desktop.pasteboard().setItems({{{std::string(PASTEBOARD_PLAIN_TEXT), std::string(",")}}});

    ASSERT_TRUE(desktop.keyboard().post({{KEY_V, true, FLAG_COMMAND}, {KEY_V, false, FLAG_COMMAND}}));
    EXPECT_EQ(field->text(), "Hello world");  // not yet
    desktop.loop().advance(desktop.pasteDelay);
    EXPECT_EQ(field->text(), "Hello, world");
    EXPECT_EQ(field->selection(), (AXRange{6, 0}));
    EXPECT_EQ(desktop.pastesLanded, 1);

    // A plain V without Command, or an app that ignores the chord, pastes nothing.
    desktop.keyboard().post({{KEY_V, true, 0}});
    app->acceptsPaste = false;
    desktop.keyboard().post({{KEY_V, true, FLAG_COMMAND}});
    desktop.loop().advance(seconds(1));
    EXPECT_EQ(field->text(), "Hello, world");
}

TEST(DesktopTests, FocusWorkspaceAndManualAccessibility) {
    Desktop desktop;
    std::vector<std::int32_t> activated;
    desktop.platform().workspace->addActivationObserver([&](const RunningApp& a) { activated.push_back(a.pid); });
    auto app = desktop.addApp(7, std::nullopt, std::nullopt);
    auto field = std::make_shared<TextField>("x");
    app->addWindow()->addChild(field);
    app->buildsTreeOnDemand = true;
    app->focus(field);
    desktop.activate(7);
    EXPECT_EQ(activated, std::vector<std::int32_t>{7});
    EXPECT_EQ(desktop.platform().workspace->frontmostApplication(), (RunningApp{7, std::nullopt, std::nullopt}));

    AXElementRef appElement = desktop.platform().accessibility->application(7);
    EXPECT_FALSE(desktop.platform().accessibility->systemWide()->attribute(AX_FOCUSED_UI_ELEMENT));
    ASSERT_TRUE(appElement->setAttribute(AX_MANUAL_ACCESSIBILITY, true));
    auto focused = appElement->attribute(AX_FOCUSED_UI_ELEMENT);
    ASSERT_TRUE(focused);
    EXPECT_TRUE(std::get<AXElementRef>(*focused)->isSameElement(*field));

    desktop.setTrusted(false);
    EXPECT_FALSE(desktop.platform().accessibility->isProcessTrusted(true));
    EXPECT_EQ(desktop.trustPrompts(), 1);
    EXPECT_FALSE(desktop.platform().accessibility->application(7)->attribute(AX_FOCUSED_UI_ELEMENT));
}

TEST(DesktopTests, KeyboardMonitorsSeeOnlyTheirScope) {
    Desktop desktop;
    auto& kb = desktop.keyboard();
    std::vector<KeyboardEvent> global, local;
    auto g = kb.addMonitor(MonitorScope::global, [&](const KeyboardEvent& e) { global.push_back(e); });
    kb.addMonitor(MonitorScope::local, [&](const KeyboardEvent& e) { local.push_back(e); });
    kb.sendKeyDown(KEY_ESCAPE);
    kb.sendFlags(0x40, MonitorScope::local);
    ASSERT_EQ(global.size(), 1u);
    EXPECT_TRUE(global[0].isEscape);
    ASSERT_EQ(local.size(), 1u);
    EXPECT_EQ(local[0].type, KeyboardEvent::Type::flagsChanged);
    EXPECT_EQ(kb.currentFlags(), 0x40u);
    kb.removeMonitor(*g);
    EXPECT_EQ(kb.monitorCount(MonitorScope::global), 0u);
    kb.monitorsAvailable = false;
    EXPECT_FALSE(kb.addMonitor(MonitorScope::global, [](const KeyboardEvent&) {}));
}

}  // namespace
}  // namespace talkweft::platform::headless
