#include "Talkweft/Hotkeys.hpp"

#include <gtest/gtest.h>

#include "CycleSupport.hpp"
#include "Platform/Headless/Desktop.hpp"
#include "Platform/KeySynth.hpp"

using namespace talkweft;

namespace {

struct HotkeysTest : ::testing::Test {
    HotkeysTest() {
        hotkeys.onChord = [this](const ChordEvent& e) { events.push_back(e); };
        hotkeys.onKeyWhileHeld = [this] { ++keysWhileHeld; };
        hotkeys.onEscape = [this] { ++escapes; };
        hotkeys.start();
    }
    platform::headless::Desktop desktop;
    platform::ScopedPlatform scope{desktop.platform()};
    Hotkeys hotkeys{ChordTracker({ModKey::rightOption}, {ModKey::rightOption, ModKey::rightCommand})};
    std::vector<ChordEvent> events;
    int keysWhileHeld = 0, escapes = 0;
    platform::headless::HeadlessKeyboard& kb() { return desktop.keyboard(); }
    static std::uint64_t opt() { return modKeyMask(ModKey::rightOption); }
};

}  // namespace

TEST_F(HotkeysTest, ChordsKeysAndEsc) {
    kb().sendKeyDown(platform::KEY_ESCAPE);
    EXPECT_EQ(escapes, 1) << "Esc counts without a chord";
    kb().sendKeyDown(0);
    EXPECT_EQ(keysWhileHeld, 0) << "a letter without a chord does nothing";

    kb().sendFlags(opt());
    kb().sendFlags(opt() | modKeyMask(ModKey::rightCommand), platform::MonitorScope::local);
    EXPECT_EQ(events, (std::vector<ChordEvent>{ChordEvent::start(Mode::dictate), ChordEvent::upgrade(Mode::agent)}));
    kb().sendKeyDown(0);
    EXPECT_EQ(keysWhileHeld, 1);
    kb().sendFlags(0);
    EXPECT_EQ(events.size(), 2u) << "after a key while held the release reports nothing";
}

TEST_F(HotkeysTest, StartTwiceKeepsOneMonitorOfEachKind) {
    hotkeys.start();
    EXPECT_EQ(kb().monitorCount(platform::MonitorScope::global), 1u);
    EXPECT_EQ(kb().monitorCount(platform::MonitorScope::local), 1u);
    kb().sendFlags(opt());
    EXPECT_EQ(events.size(), 1u);
}

TEST_F(HotkeysTest, PollRecoversAMissedRelease) {
    cycletest::LogTail log;
    kb().setLiveFlags(opt());
    hotkeys.poll();
    EXPECT_TRUE(events.empty()) << "a chord never starts from a poll";
    kb().sendFlags(opt());
    kb().setLiveFlags(0);
    hotkeys.poll();
    EXPECT_EQ(events.back(), ChordEvent::stop(Mode::dictate));
    EXPECT_EQ(log.count("hotkeys: release recovered by poll"), 1);
}
