#include "Talkweft/SettingsStore.hpp"

#include <gtest/gtest.h>

#include "Platform/FileDefaults.hpp"
#include "Platform/Headless/MemoryDefaults.hpp"
#include "TestSupport.hpp"

namespace talkweft {
namespace {

using platform::headless::MemoryDefaults;

TEST(SettingsStoreTests, FirstStartGivesDefaultsAndStoresNothingUntilAChange) {
    MemoryDefaults defaults;
    SettingsStore store(defaults);
    EXPECT_EQ(store.value(), Settings::DEFAULT());
    EXPECT_FALSE(defaults.contains("settings"));
    EXPECT_EQ(defaults.writeCount(), 0);
}

TEST(SettingsStoreTests, EveryWriteSavesTheWholeRecordWhichReloadsFromTheFile) {
    testing::TempDir dir;
    const auto file = dir.path() / "talkweft" / "defaults.json";
    {
        platform::FileDefaults defaults(file);
        SettingsStore store(defaults);
        store.update([](Settings& s) {
            s.soundCues = false;
            s.disabledApps.push_back("com.example.Secret");
            s.language = "de";
        });
        const auto stored = defaults.data("settings");
        ASSERT_TRUE(stored);
        EXPECT_EQ(*stored, store.value().toJSON().dump());  // compact JSON of all keys
    }
    platform::FileDefaults reopened(file);
    SettingsStore reloaded(reopened);
    EXPECT_FALSE(reloaded.value().soundCues);
    EXPECT_EQ(reloaded.value().language, "de");
    EXPECT_EQ(reloaded.value().disabledApps.back(), "com.example.Secret");
}

TEST(SettingsStoreTests, UndecodableRecordFallsBackToDefaultsAndStaysUntilTheFirstChange) {
    for (const std::string bad : {"not json", "[1,2]", "\"text\""}) {
        SCOPED_TRACE(bad);
        MemoryDefaults defaults;
        defaults.setData("settings", bad);
        SettingsStore store(defaults);
        EXPECT_EQ(store.value(), Settings::DEFAULT());
        EXPECT_EQ(defaults.data("settings"), bad);  // not written back at load
        store.update([](Settings& s) { s.historyLimit = 3; });
        SettingsStore again(defaults);
        EXPECT_EQ(again.value().historyLimit, 3);
    }
}

TEST(SettingsStoreTests, MissingKeysAreCompletedWithDefaults) {
    MemoryDefaults defaults;
    defaults.setData("settings", R"({"soundCues": false, "historyLimit": "eight"})");
    SettingsStore store(defaults);
    Settings expected = Settings::DEFAULT();
    expected.soundCues = false;
    EXPECT_EQ(store.value(), expected);
}

TEST(SettingsStoreTests, SubscribersGetTheCurrentRecordThenEachNewOneBeforeTheStoreHoldsIt) {
    MemoryDefaults defaults;
    SettingsStore store(defaults);
    std::vector<bool> seen;
    std::vector<bool> heldWhenCalled;
    store.subscribe([&](const Settings& s) {
        seen.push_back(s.soundCues);
        heldWhenCalled.push_back(store.value().soundCues);
    });
    store.update([](Settings& s) { s.soundCues = false; });
    store.setValue(store.value());  // unchanged: still published and saved
    EXPECT_EQ(seen, (std::vector<bool>{true, false, false}));
    EXPECT_EQ(heldWhenCalled, (std::vector<bool>{true, true, false}));
    EXPECT_EQ(defaults.writeCount(), 2);
}

}  // namespace
}  // namespace talkweft
