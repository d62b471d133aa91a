#include "TalkweftCore/Chord.hpp"
#include "TalkweftCore/JSONCoding.hpp"

#include <gtest/gtest.h>

#include <vector>

using namespace talkweft;

namespace {

using K = ModKey;
using Ev = std::optional<ChordEvent>;

struct Step {
    ModKeySet held;
    Ev event;
};

struct Sequence {
    const char* name;
    ModKeySet dictate;
    ModKeySet agent;
    std::vector<Step> steps;
};

const ModKeySet RO{K::rightOption};
const ModKeySet BOTH{K::rightOption, K::leftOption};

}  // namespace

namespace talkweft {
void PrintTo(const ChordEvent& e, std::ostream* os) {
    static const char* kinds[] = {"start", "upgrade", "stop"};
    *os << kinds[static_cast<int>(e.kind)] << "(" << modeRawValue(e.mode) << ")";
}
}  // namespace talkweft

TEST(ChordTracker, HeldKeySequences) {
    const Ev none;
    const Ev startD = ChordEvent::start(Mode::dictate), startA = ChordEvent::start(Mode::agent);
    const Ev upgradeA = ChordEvent::upgrade(Mode::agent);
    const Ev stopD = ChordEvent::stop(Mode::dictate), stopA = ChordEvent::stop(Mode::agent);
    const std::vector<Sequence> table = {
        {"dictate then upgrade by the remaining key", RO, BOTH,
         {{{K::rightOption}, startD}, {BOTH, upgradeA}, {{K::rightOption}, none}, {{}, stopA}}},
        {"other key first completes the agent chord", RO, BOTH,
         {{{K::leftOption}, none}, {BOTH, startA}, {{K::leftOption}, none}, {{}, stopA}}},
        {"extra keys from idle start nothing", RO, BOTH,
         {{{K::rightShift}, none}, {{K::rightShift, K::rightOption}, none}, {{}, none}}},
        {"idle with nothing held", RO, BOTH, {{{}, none}, {{}, none}}},
        {"plain dictation stops as dictation", RO, BOTH,
         {{{K::rightOption}, startD}, {{K::rightOption, K::fn}, none}, {{}, stopD}}},
        {"upgrade by inclusion with an unrelated key", RO, BOTH,
         {{{K::rightOption}, startD}, {{K::rightOption, K::leftShift}, none},
          {{K::rightOption, K::leftShift, K::leftOption}, upgradeA}, {{}, stopA}}},
        {"no way back from agent to dictation", RO, BOTH,
         {{BOTH, startA}, {{K::rightOption}, none}, {{K::rightOption, K::leftOption}, none}, {{}, stopA}}},
        {"equal chords start agent mode", RO, RO, {{{K::rightOption}, startA}, {{}, stopA}}},
        {"empty agent chord never upgrades or starts agent", RO, {},
         {{{K::rightOption}, startD}, {BOTH, none}, {{}, stopD}, {{}, none}}},
        {"empty dictation chord: only the agent chord starts", {}, BOTH,
         {{{K::rightOption}, none}, {{}, none}, {{K::leftOption}, none}, {BOTH, startA}, {{}, stopA}}},
        {"strict part of the agent chord while idle", {K::fn}, BOTH,
         {{{K::rightOption}, none}, {{}, none}, {{K::fn}, startD}, {{}, stopD}}},
    };
    for (const auto& seq : table) {
        ChordTracker tracker(seq.dictate, seq.agent);
        for (std::size_t i = 0; i < seq.steps.size(); ++i) {
            EXPECT_EQ(tracker.update(seq.steps[i].held), seq.steps[i].event) << seq.name << ", step " << i;
        }
    }
}

TEST(ChordTracker, ResetReturnsToIdleWithoutEvent) {
    ChordTracker tracker(RO, BOTH);
    ASSERT_EQ(tracker.update(RO), ChordEvent::start(Mode::dictate));
    EXPECT_EQ(tracker.mode(), Mode::dictate);
    tracker.reset();
    EXPECT_FALSE(tracker.mode());
    EXPECT_EQ(tracker.update({}), std::nullopt);  // no stop after a reset
    // Changing the chords keeps the mode until the owner resets.
    ASSERT_EQ(tracker.update(BOTH), ChordEvent::start(Mode::agent));
    tracker.agent = {K::fn};
    EXPECT_EQ(tracker.mode(), Mode::agent);
    EXPECT_EQ(tracker.update({}), ChordEvent::stop(Mode::agent));
}

TEST(ModKey, HeldKeysFromFlags) {
    EXPECT_EQ(calcHeldKeys(0x60), (ModKeySet{K::leftOption, K::rightOption}));
    EXPECT_EQ(calcHeldKeys(0x800000), ModKeySet{K::fn});
    EXPECT_EQ(calcHeldKeys(0x80000), ModKeySet{});
    EXPECT_EQ(calcHeldKeys(0x2000 | 0x01 | 0x100), (ModKeySet{K::leftControl, K::rightControl}));
    ModKeySet all;
    std::uint64_t flags = 0;
    for (K k : MODKEY_ALL_CASES) {
        flags |= modKeyMask(k);
        all.insert(k);
    }
    EXPECT_EQ(calcHeldKeys(flags), all);
}

TEST(ModKey, LabelsUseLinuxKeyNamesAndRawValuesStayAsStored) {
    struct Row {
        K key;
        const char* label;
        const char* raw;
    };
    const Row rows[] = {
        {K::leftOption, "Left Alt", "leftOption"},       {K::rightOption, "Right Alt", "rightOption"},
        {K::leftCommand, "Left Super", "leftCommand"},   {K::rightCommand, "Right Super", "rightCommand"},
        {K::leftControl, "Left Ctrl", "leftControl"},    {K::rightControl, "Right Ctrl", "rightControl"},
        {K::leftShift, "Left Shift", "leftShift"},       {K::rightShift, "Right Shift", "rightShift"},
        {K::fn, "Fn", "fn"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(modKeyLabel(row.key), row.label) << row.raw;
        EXPECT_EQ(modKeyRawValue(row.key), row.raw) << "the settings file keeps its names";
    }
}

TEST(ModKey, ChordLabelsInDeclarationOrder) {
    EXPECT_EQ(calcChordLabel({K::rightOption, K::leftOption}), "Left Alt + Right Alt");
    EXPECT_EQ(calcChordLabel({K::fn, K::rightShift}), "Right Shift + Fn");
    EXPECT_EQ(calcChordLabel({K::rightControl, K::leftCommand}), "Left Super + Right Ctrl");
    EXPECT_EQ(calcChordLabel({}), "");
}

TEST(ModKey, RawValuesAreExact) {
    for (K k : MODKEY_ALL_CASES) EXPECT_EQ(modKeyFromRawValue(modKeyRawValue(k)), k);
    EXPECT_EQ(modKeyFromRawValue("LeftOption"), std::nullopt);
    EXPECT_EQ(modKeyFromRawValue(""), std::nullopt);
    EXPECT_EQ(modeFromRawValue("agent"), Mode::agent);
    EXPECT_EQ(modeFromRawValue("dictate"), Mode::dictate);
    EXPECT_EQ(modeFromRawValue("Agent"), std::nullopt);
}

TEST(ModKey, ChordJSON) {
    using J = nlohmann::ordered_json;
    EXPECT_EQ(chordFromJSON(J::parse(R"(["rightOption","leftOption","rightOption"])")), BOTH);
    EXPECT_EQ(chordFromJSON(J::array()), ModKeySet{});
    EXPECT_EQ(chordFromJSON(chordToJSON(BOTH)), BOTH);
    EXPECT_THROW(chordFromJSON(J::parse(R"(["rightOption","hyper"])")), DecodingError);
    EXPECT_THROW(chordFromJSON(J::parse(R"(["rightOption",3])")), DecodingError);
    EXPECT_THROW(chordFromJSON(J("rightOption")), DecodingError);
}
