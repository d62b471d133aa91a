#include "Talkweft/AppDelegate.hpp"
#include "Talkweft/Log.hpp"

#include "CycleFixture.hpp"
#include "Platform/Headless/LoginItem.hpp"
#include "Platform/Headless/StatusItem.hpp"
#include "Platform/Headless/URLCommand.hpp"

using namespace talkweft;
using namespace talkweft::cycletest;

namespace {

class AppTest : public CycleTest {
protected:
    void SetUp() override {
        CycleTest::SetUp();
        controller.reset();  // the delegate makes its own
        desktop.platform().statusItem = &statusItem;
        desktop.platform().loginItem = &loginItem;
        desktop.platform().urlCommands = &urls;
        app = std::make_unique<AppDelegate>(transcriber);
        app->applicationDidFinishLaunching();
        app->controller().store.root = tmp / "History";
        desktop.loop().runUntil([&] { return app->status != "Starting…" && app->status != "Loading speech model…"; });
    }
    void TearDown() override {
        if (app) app->controller().waitForIdle();
        app.reset();
        CycleTest::TearDown();
    }
    platform::headless::StatusItem statusItem;
    platform::headless::LoginItemService loginItem;
    platform::headless::URLCommandSource urls;
    std::unique_ptr<AppDelegate> app;
};

}  // namespace

TEST_F(AppTest, LaunchSetsUpTheItemLoginItemAndStatus) {
    EXPECT_EQ(statusItem.symbol, "text.bubble");
    EXPECT_EQ(statusItem.accessibilityDescription, "Talkweft");
    EXPECT_TRUE(loginItem.registered);
    EXPECT_TRUE(desktop.defaults().boolValue("didSetLoginItem"));
    EXPECT_EQ(app->status, "Ready");
    EXPECT_EQ(audio.permissionRequests(), 1);
    statusItem.open();
    EXPECT_EQ(statusItem.titles().front(), "Talkweft: Ready");

    // A second launch leaves the login item alone.
    loginItem.registered = false;
    app.reset();
    app = std::make_unique<AppDelegate>(transcriber);
    app->applicationDidFinishLaunching();
    EXPECT_FALSE(loginItem.registered);
    EXPECT_EQ(loginItem.calls, 1);
}

TEST_F(AppTest, LaunchPromptsForPermissionsAndWakesAccessibilityOfActivatedApps) {
    app.reset();
    desktop.setTrusted(false);
    desktop.screen().setAccess(false);
    app = std::make_unique<AppDelegate>(transcriber);
    app->settings.update([](Settings& s) { s.captureScreenshot = true; });
    app->applicationDidFinishLaunching();
    EXPECT_EQ(desktop.trustPrompts(), 1);
    EXPECT_EQ(desktop.screen().accessRequests(), 1);
    statusItem.open();
    EXPECT_EQ(statusItem.titles().front(), "Talkweft: Starting…");
    EXPECT_EQ(desktop.keyboard().monitorCount(platform::MonitorScope::global), 0u)
        << "the hotkeys wait for the microphone request";
    desktop.loop().runUntil([&] { return app->status == "Ready"; });
    EXPECT_EQ(desktop.keyboard().monitorCount(platform::MonitorScope::global), 1u);
    EXPECT_EQ(desktop.keyboard().monitorCount(platform::MonitorScope::local), 1u);

    desktop.setTrusted(true);  // the user granted it after the prompt
    EXPECT_FALSE(other->manualAccessibility);
    desktop.activate(OTHER);
    desktop.loop().runPending();
    EXPECT_TRUE(other->manualAccessibility);

    // Without screenshots the screen-capture access is not asked for.
    app.reset();
    app = std::make_unique<AppDelegate>(transcriber);
    app->settings.update([](Settings& s) { s.captureScreenshot = false; });
    app->applicationDidFinishLaunching();
    EXPECT_EQ(desktop.screen().accessRequests(), 1);
    desktop.loop().runUntil([&] { return app->status == "Ready"; });
}

TEST_F(AppTest, FailedLoginItemIsLoggedAndNotRetried) {
    LogTail log;
    app.reset();
    desktop.defaults().remove("didSetLoginItem");
    loginItem.failure = "Operation not permitted";
    app = std::make_unique<AppDelegate>(transcriber);
    app->applicationDidFinishLaunching();
    EXPECT_TRUE(log.contains("login item: Operation not permitted"));
    EXPECT_TRUE(desktop.defaults().boolValue("didSetLoginItem"));
    app.reset();
    app = std::make_unique<AppDelegate>(transcriber);
    app->applicationDidFinishLaunching();
    EXPECT_EQ(loginItem.calls, 2) << "one at the first launch of the fixture, one failed, none after";
}

TEST_F(AppTest, MenuReflectsSettingsAndFrontApp) {
    settingsStore.reset();
    app->settings.update([](Settings& s) { s.claude.connectors = true; s.claude.connectorWrites = true; });
    statusItem.open();
    auto titles = statusItem.titles();
    EXPECT_EQ(titles[1], "Dictate: Right Alt   Agent: Right Alt + Right Super");
    EXPECT_EQ(titles[2], "⚠︎ Connectors can make changes");
    EXPECT_EQ(titles[4], "Turn Off in Editor");
    EXPECT_EQ(titles[5], "Forget History for Editor: window:notes.txt");
    EXPECT_TRUE(statusItem.click("Connectors (read-only)"));
    EXPECT_FALSE(app->settings.value().claude.connectorWrites) << "turning connectors off also turns writes off";
    statusItem.open();
    EXPECT_EQ(statusItem.titles()[2], "-");

    app->settings.update([](Settings& s) { s.disabledApps = {"com.example.editor", "com.example.editor"}; });
    statusItem.open();
    EXPECT_TRUE(statusItem.click("Turn On in Editor"));
    EXPECT_TRUE(app->settings.value().disabledApps.empty());
    statusItem.open();
    EXPECT_TRUE(statusItem.click("Turn Off in Editor"));
    EXPECT_EQ(app->settings.value().disabledApps, std::vector<std::string>{"com.example.editor"});

    statusItem.open();
    EXPECT_TRUE(statusItem.click("Forget History for Editor: window:notes.txt"));
    EXPECT_EQ(app->controller().hud.state(), HUDState::note("No history for this context"));
    EXPECT_TRUE(statusItem.click("Settings…"));
    ASSERT_TRUE(app->settingsWindow);
    EXPECT_EQ(app->settingsWindow->title, "Talkweft Settings");
    EXPECT_EQ(app->settingsWindow->store, &app->settings);
    EXPECT_EQ(app->settingsWindow->history.root, app->controller().store.root);
    EXPECT_TRUE(statusItem.click("Settings…"));
    EXPECT_EQ(app->settingsWindow->presentations, 2) << "the same window comes back";
    // The desktop's surface shows that one window, with the application's store and history.
    auto& surface = desktop.settingsWindow();
    EXPECT_EQ(surface.presentations, 2);
    EXPECT_EQ(surface.title, "Talkweft Settings");
    EXPECT_EQ(surface.store, &app->settings);
    EXPECT_EQ(surface.history, &app->settingsWindow->history);

    // The forget line shows the first 50 characters of a long subject (a family emoji is one).
    std::string family = "\U0001F469\u200D\U0001F469\u200D\U0001F467";
    std::string title = std::string(30, 'a');
    for (int i = 0; i < 20; ++i) title += family;
    auto longApp = desktop.addApp(300, "com.example.long", "Long");
    auto longField = std::make_shared<platform::headless::TextField>("");
    longApp->addWindow(title)->addChild(longField);
    longApp->focus(longField);
    desktop.activate(300);
    statusItem.open();
    std::string cut = "window:" + std::string(30, 'a');
    for (int i = 0; i < 13; ++i) cut += family;
    EXPECT_EQ(statusItem.titles()[4], "Forget History for Long: " + cut);

    desktop.clearFrontmost();
    statusItem.open();
    for (const auto& t : statusItem.titles()) EXPECT_EQ(t.find("Forget"), std::string::npos);
}

TEST_F(AppTest, MenuOpensTheHistoryFolderAndTheLogAndQuits) {
    auto menu = statusItem.open();
    std::vector<std::string> keys;
    for (const auto& item : menu)
        if (!item.keyEquivalent.empty()) keys.push_back(item.title + " " + item.keyEquivalent);
    EXPECT_EQ(keys, (std::vector<std::string>{"Settings… ,", "Quit Talkweft q"}));
    for (std::size_t i : {0u, 1u}) EXPECT_FALSE(menu[i].enabled) << menu[i].title;

    ASSERT_FALSE(fs::exists(tmp / "History"));
    EXPECT_TRUE(statusItem.click("Show History Folder"));
    EXPECT_TRUE(fs::is_directory(tmp / "History")) << "made before it is shown";
    EXPECT_TRUE(statusItem.click("Show Log"));
    EXPECT_EQ(desktop.openedPaths, (std::vector<std::string>{(tmp / "History").string(), Log::url().string()}));

    // Quit ends the main loop: it returns at once, long before a timer an hour away.
    bool clicked = false, timerRan = false;
    auto backstop = desktop.loop().addTimer(platform::seconds(3600), [&] {
        timerRan = true;
        desktop.loop().quit();
    });
    desktop.loop().post([&] { clicked = statusItem.click("Quit Talkweft"); });
    desktop.loop().run();
    EXPECT_TRUE(clicked);
    EXPECT_FALSE(timerRan) << "the loop ran on after Quit";
    desktop.loop().cancelTimer(backstop);
}

TEST_F(AppTest, ForgetThatFailsSaysSo) {
    // The context's folder is a link out of the history folder: the store refuses to clear it.
    auto cap = ContextReader::capture();
    ASSERT_TRUE(cap);
    fs::path dir = app->controller().store.calcDir(calcContextKey(cap->ctx));
    fs::create_directories(dir.parent_path());
    fs::create_directories(tmp / "elsewhere");
    std::ofstream(tmp / "elsewhere" / "keep.txt") << "x";
    fs::create_directory_symlink(tmp / "elsewhere", dir);
    LogTail log;
    statusItem.open();
    EXPECT_TRUE(statusItem.click("Forget History for Editor: window:notes.txt"));
    EXPECT_EQ(app->controller().hud.state().kind, HUDState::Kind::error);
    EXPECT_EQ(app->controller().hud.state().text.rfind("Couldn't clear the history: ", 0), 0u);
    EXPECT_TRUE(log.contains("history: "));
    EXPECT_TRUE(fs::exists(tmp / "elsewhere" / "keep.txt"));
}

TEST_F(AppTest, URLCommandsRunAndProbe) {
    LogTail log;
    app->settings.update([](Settings& s) { s.dictateChord = {ModKey::rightOption}; });
    EXPECT_TRUE(urls.deliver("talkweft://run?mode=dictate&text=first&text=second&delay=abc"));
    desktop.loop().runPending();
    app->controller().waitForIdle();
    EXPECT_EQ(field->text(), "Hello first");

    urls.deliver("talkweft://run?mode=dictate&text=later&delay=1.5");
    desktop.loop().advance(platform::seconds(1.4));
    EXPECT_EQ(field->text(), "Hello first");
    desktop.loop().advance(platform::seconds(0.2));
    app->controller().waitForIdle();
    EXPECT_EQ(field->text(), "Hello first later");

    urls.deliver("talkweft://run?mode=Dictate&text=do%20it");
    desktop.loop().runPending();
    app->controller().waitForIdle();
    EXPECT_EQ(field->text(), "Hello first laterhi") << "any mode but dictate runs the agent";

    urls.deliver("talkweft://probe");
    desktop.loop().runPending();
    EXPECT_TRUE(log.contains("probe subject=window:notes.txt secure=false\n{"));
    EXPECT_TRUE(log.contains("\"bundleID\": \"com.example.editor\""));

    // A field as long as a document is logged cut to a few KiB, with what was left out.
    field->setText(std::string(200'000, 'w'));
    const std::string before = log.text();
    urls.deliver("talkweft://probe");
    desktop.loop().runPending();
    const std::string probe = log.text().substr(before.size());
    EXPECT_LT(probe.size(), 3 * Log::MAX_VALUE_BYTES) << probe.size();
    EXPECT_NE(probe.find("\"fieldText\": \"" + std::string(Log::MAX_VALUE_BYTES, 'w') + "… [" +
                         std::to_string(200'000 - Log::MAX_VALUE_BYTES) + " bytes left out]\""),
              std::string::npos);
    field->setText("Hello first laterhi");

    for (const char* bad : {"not a url", "talkweft:run", "talkweft://launch?text=x", "talkweft://run?text=%zz",
                            "talkweft://run?delay=1e308&text=x&mode=dictate", "talkweft://run?delay=nan"}) {
        EXPECT_NO_THROW(urls.deliver(bad)) << bad;
    }
    EXPECT_TRUE(log.contains("url: ignored, unknown command"));
    EXPECT_TRUE(log.contains("url: ignored, not a URL"));
    EXPECT_LE(desktop.loop().pendingTimers(), 4u);
    EXPECT_TRUE(urls.deliver(std::string(platform::MAX_URL_COMMAND_BYTES + 1, 'x')));
    EXPECT_TRUE(log.contains("url: refused (too long)"));
}

TEST(URLParts, QueryItemsAndDelays) {
    auto items = calcQueryItems("talkweft://run?text=a%26b&flag&text=c");
    ASSERT_TRUE(items);
    EXPECT_EQ(*items, (std::vector<std::pair<std::string, std::string>>{{"text", "a&b"}, {"flag", ""}}));
    EXPECT_FALSE(calcQueryItems("talk weft://x"));
    EXPECT_FALSE(calcQueryItems("talkweft://run?text=%zz"));
    EXPECT_TRUE(calcQueryItems("talkweft://run#a?text=x")->empty());
    EXPECT_EQ(calcQueryItems("talkweft://run?text=x#y")->front().second, "x");
    EXPECT_EQ(calcQueryItems("talkweft://run?text=a%FFb%E2%80%94")->front().second, "a\uFFFDb\u2014");
    struct Case { const char* in; double out; };
    for (Case c : {Case{"1.5", 1.5}, {"abc", 0}, {"-3", 0}, {"nan", 0}, {"inf", MAX_URL_DELAY_SECONDS}, {"1e9", MAX_URL_DELAY_SECONDS}, {"", 0},
                   {" 1.5", 0}, {"1.5 ", 0}, {"+2", 2}, {"1,5", 0}})
        EXPECT_EQ(calcURLDelay(c.in), c.out) << c.in;
}

TEST_F(AppTest, TheIconFollowsADictationAndAnAgentCycle) {
    using A = platform::StatusActivity;
    EXPECT_EQ(statusItem.activity, A::idle);
    transcriber->open = false;
    hold({ModKey::rightOption}, 1.0);
    desktop.loop().runPending();
    EXPECT_EQ(statusItem.activities, (std::vector<A>{A::recording, A::working})) << "recording while held, working while transcribing";
    transcriber->release();
    app->controller().waitForIdle();
    desktop.loop().advance(platform::seconds(2));
    EXPECT_EQ(field->text(), "Hello world");
    EXPECT_EQ(statusItem.activities, (std::vector<A>{A::recording, A::working, A::idle}));

    // The agent: recording, then transcribing and thinking (one working stretch), then its edit lands.
    statusItem.activities.clear();
    hold({ModKey::rightOption, ModKey::rightCommand}, 1.0);
    app->controller().waitForIdle();
    desktop.loop().advance(platform::seconds(2));
    EXPECT_EQ(field->text(), "Hello worldhi");
    EXPECT_EQ(statusItem.activities, (std::vector<A>{A::recording, A::working, A::idle}));

    // A note shows idle, and so does the hidden panel after it.
    statusItem.activities.clear();
    app->controller().hud.show(HUDState::listening(Mode::dictate, false));
    app->controller().hud.show(HUDState::note("History cleared"));
    desktop.loop().advance(platform::seconds(2));
    EXPECT_EQ(app->controller().hud.state().kind, HUDState::Kind::hidden);
    EXPECT_EQ(statusItem.activities, (std::vector<A>{A::recording, A::idle}));
}
