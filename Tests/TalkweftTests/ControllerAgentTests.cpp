#include "CycleFixture.hpp"

using namespace talkweft;
using namespace talkweft::cycletest;
using K = HUDState::Kind;

namespace {
std::string answer(const std::string& result) {
    return R"({"type":"result","is_error":false,"structured_output":)" + result + "}";
}
}  // namespace

TEST_F(CycleTest, AgentByUpgradeInsertsTheAnswer) {
    LogTail log;
    transcriber->text = "greet them";
    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    desktop.keyboard().sendFlags(flags({ModKey::rightOption, ModKey::rightCommand}));
    EXPECT_EQ(controller->hud.state(), HUDState::listening(Mode::agent, false));
    audio.playTone(1.0, 0.3f);
    desktop.loop().advance(platform::seconds(1.0));
    desktop.keyboard().sendFlags(0);
    desktop.loop().runPending();
    controller->waitForIdle();
    EXPECT_EQ(field->text(), "Hellohi");
    EXPECT_EQ(sounds.played, (std::vector<std::string>{"begin_record", "Pop", "Bottle"}));
    EXPECT_TRUE(log.contains("mode=agent"));
    EXPECT_TRUE(log.contains("agent: Claude Code app=com.example.editor subject=window:notes.txt field=5 full=true"));
    EXPECT_TRUE(log.contains("agent: insert in "));
    std::ifstream args(tmp / "args.txt");
    std::string all((std::istreambuf_iterator<char>(args)), {});
    EXPECT_NE(all.find("greet them"), std::string::npos) << "the instruction reaches the agent";
    auto h = history();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].mode, Mode::agent);
    EXPECT_TRUE(h[0].applied);
}

TEST_F(CycleTest, AgentReplaceAppliesEditsAndReportsFailures) {
    field->setText("one two three");
    setAgentAnswer(answer(R"({"action":"replace","edits":[{"find":"one","replace":"1"},{"find":"zzz","replace":"9"},{"find":"three","replace":"3"}]})"));
    hold({ModKey::rightOption, ModKey::rightCommand}, 1.0);
    controller->waitForIdle();
    EXPECT_EQ(field->text(), "1 two 3");
    EXPECT_EQ(desktop.pasteboard().plainText(), "9") << "only the failed edit's text stays on the pasteboard";
    EXPECT_EQ(controller->hud.state(), HUDState::error("Couldn't apply 1 of 3 edits in this field. The replacement text was "
                                                       "copied to the clipboard:\n\n9"));
    auto h = history();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_FALSE(h[0].applied);
}

TEST_F(CycleTest, AgentReplyAndExternalWorkAreShown) {
    setAgentAnswer(answer(R"({"action":"reply","external":["Filed a ticket"]})"));
    hold({ModKey::rightOption, ModKey::rightCommand}, 1.0);
    desktop.loop().runUntil([&] { return controller->hud.state().kind == K::thinking; });
    EXPECT_EQ(panel.content.text, "Working… 0s · Esc cancels");
    EXPECT_EQ(panel.content.detail, "“world”");
    controller->waitForIdle();
    EXPECT_EQ(controller->hud.state(), HUDState::reply("(no message)\n\nDone outside this field:\n• Filed a ticket"));
    EXPECT_EQ(panel.content.kind, platform::PanelContent::Kind::message);
    EXPECT_FALSE(panel.ignoresMouse);
    panel.clickCopy();
    EXPECT_EQ(desktop.pasteboard().plainText(), "(no message)\n\nDone outside this field:\n• Filed a ticket");
    desktop.keyboard().sendKeyDown(platform::KEY_ESCAPE);
    desktop.loop().runPending();
    EXPECT_EQ(controller->hud.state().kind, K::hidden);

    // An insert that could not be applied ends on the external work; its text is on the clipboard.
    setAgentAnswer(answer(R"({"action":"insert","text":"x","external":["Sent mail"]})"));
    transcriber->open = false;
    hold({ModKey::rightOption, ModKey::rightCommand}, 1.0);
    desktop.loop().runPending();
    desktop.activate(OTHER);
    transcriber->release();
    controller->waitForIdle();
    EXPECT_EQ(desktop.pasteboard().plainText(), "x");
    EXPECT_EQ(controller->hud.state(), HUDState::reply("Done outside this field:\n• Sent mail"));
}

TEST_F(CycleTest, FailedReplaceWithExternalWorkEndsOnTheDonePanel) {
    field->setText("one");
    setAgentAnswer(answer(R"({"action":"replace","edits":[{"find":"zzz","replace":"9"}],"external":["Sent mail"]})"));
    hold({ModKey::rightOption, ModKey::rightCommand}, 1.0);
    settle();
    EXPECT_EQ(desktop.pasteboard().plainText(), "9");
    EXPECT_EQ(controller->hud.state(), HUDState::reply("Done outside this field:\n• Sent mail"));
    auto h = history();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_FALSE(h[0].applied);
}

TEST_F(CycleTest, AReplaceWhoseEditsAllApplyHidesThePanelAndKeepsThePasteboard) {
    desktop.pasteboard().setItems({{{std::string(platform::PASTEBOARD_PLAIN_TEXT), std::string("mine")}}});
    field->setText("one two three");
    setAgentAnswer(answer(R"({"action":"replace","edits":[{"find":"one","replace":"1"},{"find":"three","replace":"3"}]})"));
    hold({ModKey::rightOption, ModKey::rightCommand}, 1.0);
    settle();
    EXPECT_EQ(field->text(), "1 two 3");
    EXPECT_EQ(controller->hud.state().kind, K::hidden);
    EXPECT_EQ(desktop.pasteboard().plainText(), "mine");
    auto h = history();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_TRUE(h[0].applied);
    EXPECT_EQ(h[0].edits.size(), 2u);
}

TEST_F(CycleTest, AnInsertWhosePasteFailsLeavesTheAnswerOnThePasteboard) {
    desktop.pasteboard().setItems({{{std::string(platform::PASTEBOARD_PLAIN_TEXT), std::string("mine")}}});
    setAgentAnswer(answer(R"({"action":"insert","text":" there"})"));
    desktop.keyboard().canCreateEvents = false;
    hold({ModKey::rightOption, ModKey::rightCommand}, 1.0);
    settle();  // long past the moment a paste gives the user's pasteboard back
    EXPECT_EQ(field->text(), "Hello");
    EXPECT_EQ(desktop.pasteboard().plainText(), " there");
    EXPECT_EQ(controller->hud.state(),
              HUDState::error("Couldn't paste into the field, so the result was copied to the clipboard:\n\n there"));
    auto h = history();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_FALSE(h[0].applied);
}

TEST_F(CycleTest, EscCancelsTheAgentAndTimeoutsShowAnError) {
    setAgentAnswer(answer(R"({"action":"insert","text":"late"})"), 30);
    hold({ModKey::rightOption, ModKey::rightCommand}, 1.0);
    desktop.loop().runPending();
    // Wait until the agent runs (the panel shows the working counter).
    desktop.loop().runUntil([&] { return controller->hud.state().kind == K::thinking; });
    desktop.keyboard().sendKeyDown(platform::KEY_ESCAPE);
    EXPECT_EQ(controller->hud.state(), HUDState::note("Cancelled"));
    controller->waitForIdle();
    EXPECT_EQ(field->text(), "Hello");

    settingsStore->update([](Settings& s) { s.claude.timeout = 0.3; });
    hold({ModKey::rightOption, ModKey::rightCommand}, 1.0);
    controller->waitForIdle();
    EXPECT_EQ(controller->hud.state().kind, K::error);
    EXPECT_NE(controller->hud.state().text.find("timed out"), std::string::npos) << controller->hud.state().text;
}

TEST_F(CycleTest, URLRunDuringARecordingDoesNotRedirectIt) {
    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    audio.playTone(1.0, 0.3f);
    desktop.activate(OTHER);
    auto otherWindow = other->addWindow("other");
    auto otherField = std::make_shared<platform::headless::TextField>("Other");
    otherWindow->addChild(otherField);
    other->focus(otherField);
    controller->run(Mode::dictate, "typed");
    controller->waitForIdle();
    EXPECT_EQ(otherField->text(), "Other typed");
    desktop.activate(EDITOR);
    desktop.loop().advance(platform::seconds(1.0));
    desktop.keyboard().sendFlags(0);
    controller->waitForIdle();
    EXPECT_EQ(field->text(), "Hello world") << "the spoken text goes where the recording began";
}

TEST_F(CycleTest, ReleaseDuringAURLCommandReplacesAndCancelsIt) {
    LogTail log;
    setAgentAnswer(answer(R"({"action":"insert","text":" late"})"), 30);
    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    audio.playTone(1.0, 0.3f);
    controller->run(Mode::agent, "take your time");
    desktop.loop().runUntil([&] { return controller->hud.state().kind == K::thinking; });
    desktop.loop().advance(platform::seconds(1.0));
    desktop.keyboard().sendFlags(0);
    auto start = std::chrono::steady_clock::now();
    controller->waitForIdle();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "the agent was stopped";
    EXPECT_EQ(field->text(), "Hello world") << "only the recording's text arrives";
    EXPECT_EQ(controller->hud.state().kind, K::hidden);
    EXPECT_EQ(log.count("url: running command cancelled, replaced by the released recording"), 1) << log.text();
}

TEST_F(CycleTest, ForgetReportsWhatHappened) {
    hold({ModKey::rightOption}, 1.0);
    settle();
    auto cap = ContextReader::capture();
    ASSERT_TRUE(cap);
    auto r = controller->forget(*cap);
    EXPECT_EQ(r.kind, ForgetResult::Kind::cleared);
    EXPECT_EQ(r.subject, "window:notes.txt");
    EXPECT_TRUE(history().empty());
    EXPECT_EQ(controller->forget(*cap).kind, ForgetResult::Kind::nothing);
}

TEST_F(CycleTest, UpgradeTakesOneScreenshotAndDictationOffStillAllowsTheAgent) {
    settingsStore->update([](Settings& s) {
        s.captureScreenshot = true;
        s.dictationEnabled = false;
    });
    auto pngs = [] {
        std::size_t n = 0;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(Paths::screenshots(), ec)) n += e.path().extension() == ".png";
        return n;
    };
    std::size_t before = pngs();
    platform::headless::HeadlessScreen::Window w;
    w.info = {EDITOR, 0, 7, {0, 0, 40, 30}};
    desktop.screen().setWindows({w});

    hold({ModKey::rightOption}, 1.0);  // dictation is off: recorded, both cues, then dropped
    settle();
    EXPECT_EQ(transcriber->calls, 0);
    EXPECT_EQ(sounds.played, (std::vector<std::string>{"begin_record", "Bottle"}));

    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    desktop.keyboard().sendFlags(flags({ModKey::rightOption, ModKey::rightCommand}));
    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    desktop.keyboard().sendFlags(flags({ModKey::rightOption, ModKey::rightCommand}));
    audio.playTone(1.0, 0.3f);
    desktop.loop().advance(platform::seconds(1.0));
    desktop.keyboard().sendFlags(0);
    controller->waitForIdle();
    EXPECT_EQ(field->text(), "Hellohi") << "the upgraded recording is processed";
    std::ifstream args(tmp / "args.txt");
    std::string all((std::istreambuf_iterator<char>(args)), {});
    EXPECT_NE(all.find("--add-dir"), std::string::npos) << "the screenshot's folder is given to the agent";
    EXPECT_EQ(pngs() - before, 1u) << "one screenshot per recording";
}

TEST_F(CycleTest, AgentRequestCarriesHistoryStandingInstructionsAndSelection) {
    settingsStore->update([](Settings& s) {
        s.historyLimit = 1;
        s.agentInstructions = "Answer in French.";
    });
    transcriber->text = "first";
    hold({ModKey::rightOption}, 1.0);
    settle();
    transcriber->text = "second";
    hold({ModKey::rightOption}, 1.0);
    settle();
    ASSERT_EQ(history().size(), 2u);

    field->setText("one two three");
    field->setSelection({4, 3});
    setAgentAnswer(answer(R"({"action":"reply","message":"ok"})"));
    transcriber->text = "shorten it";
    desktop.keyboard().sendFlags(flags({ModKey::rightOption, ModKey::rightCommand}));
    EXPECT_EQ(controller->hud.state(), HUDState::listening(Mode::agent, true)) << "a selection scopes the request";
    audio.playTone(1.0, 0.3f);
    desktop.loop().advance(platform::seconds(1.0));
    desktop.keyboard().sendFlags(0);
    settle();
    auto readArgs = [&] {
        std::ifstream in(tmp / "args.txt");
        return std::string((std::istreambuf_iterator<char>(in)), {});
    };
    std::string args = readArgs();
    EXPECT_NE(args.find("Answer in French."), std::string::npos);
    fs::path dir = controller->store.calcDir({desktop.userName, "com.example.editor", "window:notes.txt"});
    EXPECT_NE(args.find("(git repo with full history: " + dir.string() + "):"), std::string::npos) << args;
    EXPECT_NE(args.find("\"second\""), std::string::npos) << "the newest entry is within the limit";
    EXPECT_EQ(args.find("\"first\""), std::string::npos) << "older entries are beyond the limit";
    auto h = history();
    ASSERT_EQ(h.size(), 3u);
    EXPECT_EQ(h[2].replaced, "two");
    EXPECT_EQ(h[2].message, "ok");
    EXPECT_FALSE(h[2].applied) << "a reply does not reach the field";

    // An app whose history is not kept: the agent is told so and nothing is recorded.
    settingsStore->update([](Settings& s) { s.noHistoryApps.push_back("com.example.editor"); });
    hold({ModKey::rightOption, ModKey::rightCommand}, 1.0);
    settle();
    EXPECT_NE(readArgs().find("History: not kept for this context."), std::string::npos);
    hold({ModKey::rightOption}, 1.0);
    settle();
    EXPECT_EQ(history().size(), 3u);
}

namespace {
// A screen whose window captures wait until the test lets them through.
class GatedScreen : public platform::headless::HeadlessScreen {
public:
    std::optional<platform::Image> captureWindow(std::uint32_t number) override {
        {
            std::unique_lock lock(m_);
            cv_.wait(lock, [&] { return open_; });
        }
        return HeadlessScreen::captureWindow(number);
    }
    void open() {
        std::lock_guard lock(m_);
        open_ = true;
        cv_.notify_all();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};
}  // namespace

TEST_F(CycleTest, TheAgentsLoggedTimeIncludesTheScreenshotWait) {
    GatedScreen screen;
    desktop.platform().screen = &screen;
    platform::headless::HeadlessScreen::Window w;
    w.info = {EDITOR, 0, 7, {0, 0, 40, 30}};
    screen.setWindows({w});
    settingsStore->update([](Settings& s) { s.captureScreenshot = true; });
    LogTail log;
    hold({ModKey::rightOption, ModKey::rightCommand}, 1.0);
    desktop.loop().runUntil([&] { return controller->hud.state().kind == K::thinking; });
    desktop.loop().advance(platform::seconds(4.0));  // the screenshot is still being taken
    screen.open();
    controller->waitForIdle();
    desktop.platform().screen = &desktop.screen();
    EXPECT_EQ(field->text(), "Hellohi");
    EXPECT_TRUE(log.contains("agent: insert in 4.0s")) << log.text();
}

TEST_F(CycleTest, AnAppliedInsertWithExternalWorkEndsOnTheDonePanel) {
    LogTail log;
    setAgentAnswer(answer(R"({"action":"insert","text":" there","external":["Sent mail","Booked a room"]})"));
    hold({ModKey::rightOption, ModKey::rightCommand}, 1.0);
    settle();
    EXPECT_EQ(field->text(), "Hello there");
    EXPECT_EQ(controller->hud.state(), HUDState::reply("Done outside this field:\n• Sent mail\n• Booked a room"));
    EXPECT_TRUE(log.contains("agent external: Sent mail | Booked a room"));
    auto h = history();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_TRUE(h[0].applied);
    EXPECT_EQ(h[0].external, (std::vector<std::string>{"Sent mail", "Booked a room"}));
}

TEST_F(CycleTest, AReplaceAfterTheAppLostTheFrontFailsEveryEdit) {
    field->setText("one two");
    setAgentAnswer(answer(R"({"action":"replace","edits":[{"find":"one","replace":"1"},{"find":"two","replace":"2"}]})"));
    transcriber->open = false;
    hold({ModKey::rightOption, ModKey::rightCommand}, 1.0);
    desktop.loop().runPending();
    desktop.activate(OTHER);
    transcriber->release();
    settle();
    EXPECT_EQ(field->text(), "one two");
    EXPECT_EQ(desktop.pasteboard().plainText(), "1\n\n2");
    EXPECT_EQ(controller->hud.state(), HUDState::error("Couldn't apply 2 of 2 edits in this field. The replacement text was "
                                                       "copied to the clipboard:\n\n1\n\n2"));
    auto h = history();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_FALSE(h[0].applied);
}
