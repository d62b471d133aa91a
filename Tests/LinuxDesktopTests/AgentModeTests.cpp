// Agent mode end to end on the real desktop: the application's controller on the Linux desktop
// (X11 and AT-SPI) runs the fake agent executable on real GTK and Qt fields; its replace edits are
// selected through AT-SPI and pasted through the X11 clipboard and a synthesized Ctrl+V.
#include <filesystem>
#include <fstream>
#include <string>

#include "AudioInput/TestAudioSystem.hpp"
#include "DesktopSession.hpp"
#include "FieldApps.hpp"
#include "Platform/Headless/MemoryDefaults.hpp"
#include "Platform/Headless/Panel.hpp"
#include "Platform/Headless/Sound.hpp"
#include "Platform/Linux/LinuxDesktop.hpp"
#include "Talkweft/ContextReader.hpp"
#include "Talkweft/Controller.hpp"
#include "Talkweft/SettingsStore.hpp"

namespace desktoptest {
namespace {

namespace fs = std::filesystem;
using namespace talkweft;

class AgentModeTest : public DesktopSuite {
protected:
    // The application's services on this session's desktop, and a controller whose agent is a
    // script that prints `answer`.
    void startApp(const std::string& answer) {
        linux = std::make_unique<platform::linuxdesktop::LinuxDesktop>();
        linux->platform().defaults = &defaults;
        linux->platform().sounds = &sounds;
        linux->platform().panel = &panel;
        linux->platform().audio = &audio;
        scope = std::make_unique<platform::ScopedPlatform>(linux->platform());
        const fs::path agent = session()->runFolder() / "fake-claude";
        std::ofstream(agent) << "#!/bin/sh\ncat <<'JSON'\n"
                             << R"({"type":"result","is_error":false,"structured_output":)" << answer << "}\nJSON\n";
        fs::permissions(agent, fs::perms::owner_all);
        settings = std::make_unique<SettingsStore>(defaults);
        settings->update([&](Settings& s) {
            s.captureScreenshot = false;
            s.claude.path = agent.string();
            s.claude.timeout = 20;
        });
        controller = std::make_unique<Controller>(*settings);
        controller->store.root = session()->runFolder() / "History";
    }
    void TearDown() override {
        if (controller) controller->waitForIdle();
        controller.reset();
        scope.reset();
        linux.reset();
    }

    platform::headless::MemoryDefaults defaults;
    platform::headless::SoundPlayer sounds{{"begin_record", "Pop", "Bottle", "Basso", "Tink"}};
    platform::headless::Panel panel;
    audioinput::TestAudioSystem audio;
    std::unique_ptr<platform::linuxdesktop::LinuxDesktop> linux;
    std::unique_ptr<platform::ScopedPlatform> scope;
    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<Controller> controller;
};

// "Café ☕ 👩‍💻 née⏎fin ☕": UTF-16 offsets and code points differ from the first emoji on.
const std::string AGENT_TEXT = "Caf\xC3\xA9 \xE2\x98\x95 \xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB n\xC3\xA9" "e\nfin";

struct AgentCase {
    const char* name;
    const char* script;
    const char* field;
    const char* appId;  // the window class (GTK capitalises the program name)
};

TEST_F(AgentModeTest, ReplaceEditsLandInsideRealFieldsAndTheContextIsWhatTheFieldHolds) {
    TALKWEFT_NEED_DESKTOP();
    // "née" -> "born", the last "fin" -> "fín 🎉": both after the emoji, so offsets must be converted.
    startApp(R"({"action":"replace","edits":[{"find":"n\u00e9e","replace":"born"},{"find":"fin","replace":"f\u00edn \ud83c\udf89"}]})");
    const std::string expected = "Caf\xC3\xA9 \xE2\x98\x95 \xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB born\nf\xC3\xADn \xF0\x9F\x8E\x89";
    for (const AgentCase& c : {AgentCase{"qt-agent", "qt_fields.py", "plain", "talkweft-qt-fields"},
                               AgentCase{"gtk-agent", "gtk_fields.py", "view", "Talkweft-gtk-fields"}}) {
        SCOPED_TRACE(c.name);
        const std::string title = std::string("Agent ") + c.name;
        FieldApp app(*session(), c.script, {"--title", title, std::string("--") + c.field, AGENT_TEXT, "--focus", c.field, "--select", "2", "3"}, c.name);
        ASSERT_TRUE(app.waitReady());
        ASSERT_TRUE(waitForFocus(*linux->platform().accessibility, app.pid()));
        ASSERT_TRUE(DesktopSession::waitFor([&] {
            auto front = linux->platform().workspace->frontmostApplication();
            return front && front->pid == app.pid();
        }));

        auto cap = ContextReader::capture();
        ASSERT_TRUE(cap);
        EXPECT_EQ(cap->ctx.pid, app.pid());
        EXPECT_EQ(cap->ctx.bundleID, c.appId);
        EXPECT_EQ(cap->ctx.windowTitle, title);
        EXPECT_EQ(cap->ctx.fieldText, AGENT_TEXT);
        EXPECT_EQ(cap->ctx.selection, (UTF16Range{2, 3}));
        EXPECT_EQ(cap->ctx.selectedText, "f\xC3\xA9 ");
        EXPECT_FALSE(cap->secure);

        controller->run(Mode::agent, "tidy this up");
        controller->waitForIdle();
        EXPECT_TRUE(app.waitForText(c.field, expected)) << app.lastText(c.field).value_or("(no change)");
    }
}

TEST_F(AgentModeTest, PasswordFieldIsSecureAndNothingOfItIsKept) {
    TALKWEFT_NEED_DESKTOP();
    startApp(R"({"action":"insert","text":"x"})");
    const std::string secret = "s3cret-hunter2";
    FieldApp app(*session(), "gtk_fields.py", {"--title", "Sign in", "--password", secret, "--focus", "password"}, "gtk-secret");
    ASSERT_TRUE(app.waitReady());
    ASSERT_TRUE(waitForFocus(*linux->platform().accessibility, app.pid()));
    ASSERT_TRUE(DesktopSession::waitFor([&] {
        auto front = linux->platform().workspace->frontmostApplication();
        return front && front->pid == app.pid();
    }));
    auto cap = ContextReader::capture();
    ASSERT_TRUE(cap);
    EXPECT_TRUE(cap->secure);
    EXPECT_EQ(cap->ctx.fieldText, std::nullopt);

    controller->run(Mode::agent, "log me in");
    controller->waitForIdle();
    // Nothing under the session's home (log, history, settings) nor the history folder holds it.
    for (const fs::path& root : {session()->runFolder() / "home", session()->runFolder() / "History"}) {
        if (!fs::exists(root)) continue;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (!entry.is_regular_file()) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(all.find(secret), std::string::npos) << entry.path();
        }
    }
}

}  // namespace
}  // namespace desktoptest
