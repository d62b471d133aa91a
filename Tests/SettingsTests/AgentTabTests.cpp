#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "SettingsSupport.hpp"
#include "Talkweft/Paths.hpp"

namespace talkweft::testing {
namespace {

using AgentTab = SettingsViewTest;

TEST_F(AgentTab, ConnectorWritesTurnOnOnlyAfterTheUserAllows) {
    makeView();
    auto* writes = find<QCheckBox>("connectorWrites");
    ASSERT_TRUE(writes);
    const int savesBefore = desktop.defaults().writeCount();

    answer = false;  // "Cancel"
    writes->click();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].title, "Allow connectors to make changes?");
    EXPECT_EQ(asked[0].confirmButton, "Allow");
    EXPECT_FALSE(writes->isChecked());
    EXPECT_FALSE(saved().claude.connectorWrites);
    EXPECT_EQ(desktop.defaults().writeCount(), savesBefore) << "a cancelled confirmation stores nothing";

    answer = true;  // "Allow"
    writes->click();
    EXPECT_EQ(asked.size(), 2u);
    EXPECT_TRUE(writes->isChecked());
    EXPECT_TRUE(saved().claude.connectorWrites);

    writes->click();  // off needs no confirmation
    EXPECT_EQ(asked.size(), 2u);
    EXPECT_FALSE(saved().claude.connectorWrites);
}

TEST_F(AgentTab, ConnectorsOffDisablesToolsAndWritesButKeepsTheirValues) {
    store.update([](Settings& s) {
        s.claude.connectorWrites = true;
        s.claude.connectorTools = "mcp__claude_ai_Gmail__search";
    });
    makeView();
    auto* connectors = find<QCheckBox>("connectors");
    auto* tools = find<QPlainTextEdit>("connectorTools");
    auto* writes = find<QCheckBox>("connectorWrites");
    ASSERT_TRUE(connectors && tools && writes);
    connectors->click();
    EXPECT_FALSE(saved().claude.connectors);
    EXPECT_FALSE(tools->isEnabled());
    EXPECT_FALSE(writes->isEnabled());
    EXPECT_TRUE(saved().claude.connectorWrites);
    EXPECT_EQ(saved().claude.connectorTools, "mcp__claude_ai_Gmail__search");
    connectors->click();
    EXPECT_TRUE(tools->isEnabled());
    EXPECT_TRUE(writes->isChecked());
}

TEST_F(AgentTab, TextFieldsAndPickerStoreWhatIsTyped) {
    makeView();
    struct Field {
        const char* name;
        std::string (*get)(const Settings&);
    };
    const Field fields[] = {
        {"claudePath", [](const Settings& s) { return s.claude.path; }},
        {"claudeModel", [](const Settings& s) { return s.claude.model; }},
        {"claudeTools", [](const Settings& s) { return s.claude.tools; }},
        {"claudeAllowedTools", [](const Settings& s) { return s.claude.allowedTools; }},
        {"claudeExtraArgs", [](const Settings& s) { return s.claude.extraArgs; }},
    };
    for (const Field& f : fields) {
        SCOPED_TRACE(f.name);
        auto* field = find<QLineEdit>(f.name);
        ASSERT_TRUE(field);
        field->clear();
        QTest::keyClicks(field, "x y");
        EXPECT_EQ(f.get(saved()), "x y");
    }
    auto* instructions = find<QPlainTextEdit>("agentInstructions");
    ASSERT_TRUE(instructions);
    EXPECT_TRUE(instructions->placeholderText().startsWith("e.g. Write like me"));
    QTest::keyClicks(instructions, "Be brief.");
    EXPECT_EQ(saved().agentInstructions, "Be brief.");
    find<QPlainTextEdit>("connectorTools")->moveCursor(QTextCursor::End);
    QTest::keyClicks(find<QPlainTextEdit>("connectorTools"), " extra");
    EXPECT_TRUE(saved().claude.connectorTools.ends_with(" extra"));

    // The instructions field grows from 4 lines with its text and stops at 10.
    const int fewest = instructions->height();
    auto lines = [](int n) {
        std::string text = "line";
        for (int i = 1; i < n; ++i) text += "\nline";
        return text;
    };
    store.update([&](Settings& s) { s.agentInstructions = lines(4); });
    EXPECT_EQ(instructions->height(), fewest);
    store.update([&](Settings& s) { s.agentInstructions = lines(7); });
    const int seven = instructions->height();
    EXPECT_GT(seven, fewest);
    store.update([&](Settings& s) { s.agentInstructions = lines(10); });
    const int most = instructions->height();
    EXPECT_GT(most, seven);
    store.update([&](Settings& s) { s.agentInstructions = lines(30); });
    EXPECT_EQ(instructions->height(), most);

    auto* kind = find<QComboBox>("agentKind");
    ASSERT_TRUE(kind);
    ASSERT_EQ(kind->count(), 1);
    EXPECT_EQ(kind->currentText(), "Claude Code (headless, with tools)");
}

TEST_F(AgentTab, ScreenshotOptionAndTestScreenshot) {
    desktop.screen().setAccess(false);
    makeView();
    auto* option = find<QCheckBox>("captureScreenshot");
    auto* test = find<QPushButton>("testScreenshot");
    ASSERT_TRUE(option && test);

    option->click();  // off: stored, no access check
    EXPECT_FALSE(saved().captureScreenshot);
    EXPECT_FALSE(test->isEnabled());
    EXPECT_EQ(desktop.screen().accessRequests(), 0);

    option->click();  // on without access: the desktop is asked, the option stays on
    EXPECT_TRUE(saved().captureScreenshot);
    EXPECT_TRUE(test->isEnabled());
    EXPECT_EQ(desktop.screen().accessRequests(), 1);
    test->click();
    EXPECT_EQ(desktop.screen().accessRequests(), 2);

    // With access the test captures our own front window; each picture stays in the folder.
    desktop.screen().setAccess(true);
    platform::headless::HeadlessScreen::Window own;
    own.info.ownerPID = ::getpid();
    own.info.layer = 0;
    own.info.number = 7;
    own.info.bounds = {0, 0, 64, 48};
    desktop.screen().setWindows({own});
    LogMark mark;
    test->click();
    view->waitForIdle();
    test->click();
    view->waitForIdle();
    EXPECT_EQ(desktop.screen().accessRequests(), 2);
    std::error_code ec;
    ASSERT_TRUE(std::filesystem::is_directory(Paths::screenshots(), ec)) << "the capture ran";
    std::vector<std::string> pictures;
    for (const auto& entry : std::filesystem::directory_iterator(Paths::screenshots(), ec))
        pictures.push_back(entry.path().filename().string());
    EXPECT_EQ(pictures.size(), 2u) << "one picture per test, none deleted: " << ::testing::PrintToString(pictures);
    for (const auto& name : pictures) EXPECT_TRUE(name.ends_with(".png")) << name;
    EXPECT_EQ(mark.since().find("screenshot:"), std::string::npos) << mark.since();
}

}  // namespace
}  // namespace talkweft::testing
