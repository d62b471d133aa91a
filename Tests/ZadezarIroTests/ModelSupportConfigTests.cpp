#include "ZadezarIro/Core/ModelSupportConfig.hpp"

#include <gtest/gtest.h>

#include "TestSupport.hpp"
#include "ZadezarIro/Core/Constants.hpp"

using namespace zadezariro;

namespace {
const ModelSupportConfig& fallback() { return Constants::fallbackModelSupportConfig(); }
const std::vector<std::string>& row(int n) { return fallback().deviceSupports().at(n - 1).models.supported; }
}  // namespace

TEST(ModelSupportConfig, FallbackTableShape) {
    const auto& table = fallback();
    EXPECT_EQ(table.repoName(), "zadezariro-coreml-fallback");
    EXPECT_EQ(table.repoVersion(), "0.4");
    ASSERT_EQ(table.deviceSupports().size(), 6u);
    EXPECT_EQ(row(2).size(), 14u);
    EXPECT_EQ(row(3).size(), 13u);
    EXPECT_EQ(row(4).size(), 22u);
    EXPECT_EQ(row(6), row(2));
    const auto& known = Constants::knownModels();
    ASSERT_EQ(known.size(), 22u);
    EXPECT_EQ(known, table.knownModels());
    EXPECT_EQ(known.front(), "openai_whisper-base");
    EXPECT_EQ(known[6], "openai_whisper-large-v2_949MB");
    EXPECT_EQ(known.back(), "openai_whisper-large-v3-v20240930_turbo");
    // Row 1 supports four models: the other 18 known ones are disabled, in known-model order.
    const auto& disabled = table.deviceSupports()[0].models.disabled;
    ASSERT_EQ(disabled.size(), 18u);
    EXPECT_EQ(disabled.front(), "openai_whisper-small");
    EXPECT_TRUE(table.deviceSupports()[3].models.disabled.empty());
}

TEST(ModelSupportConfig, LongestIdentifierPrefixWins) {
    testsupport::LogCapture log;
    struct Case {
        const char* device;
        const char* defaultModel;
    } cases[] = {
        {"iPad14,10", "openai_whisper-large-v3-v20240930"},  // "iPad14,1" (row 6) is shorter
        {"iPad14,1", "openai_whisper-base"},
        {"Mac14,2", "openai_whisper-large-v3-v20240930"},
        {"Mac13,1", "openai_whisper-large-v3-v20240930_626MB"},
        {"MacBookPro18,3", "openai_whisper-large-v3-v20240930_626MB"},
        {"iPhone11,8", "openai_whisper-tiny"},
        {"mac14,2", "openai_whisper-base"},  // case-sensitive: no match
        {"arm64", "openai_whisper-base"},
    };
    for (const auto& c : cases) EXPECT_EQ(fallback().modelSupport(c.device).defaultModel, c.defaultModel) << c.device;

    const auto none = fallback().modelSupport("arm64");
    EXPECT_EQ(none.supported, Constants::knownModels());
    EXPECT_TRUE(none.disabled.empty());
    EXPECT_EQ(log.lines[2], R"(Matched Mac14,2 to devices: ["Mac14", "Mac15", "Mac16", "iPad14,3", "iPad14,4", "iPad14,5", "iPad14,6", "iPad14,8", "iPad14,9", "iPad14,10", "iPad14,11", "iPad15", "iPad16"])");
    EXPECT_EQ(log.lines.back(), "No device support found for arm64, using default");
}

TEST(ModelSupportConfig, EqualLengthKeepsTheEarlierRow) {
    const ModelSupportConfig table("my-models", "1",
                                   {DeviceSupport{std::nullopt, {"Mac14"}, ModelSupport{"first", {"first"}, {}}},
                                    DeviceSupport{std::nullopt, {"Mac14"}, ModelSupport{"second", {"second"}, {}}}});
    EXPECT_EQ(table.modelSupport("Mac14,7").defaultModel, "first");
    EXPECT_EQ(table.modelSupport("Mac14,7").disabled, (std::vector<std::string>{"second"}));
}

TEST(ModelSupportConfig, RemoteTableOfTheFallbackRepositoryIsMerged) {
    const ModelSupportConfig table("zadezariro-coreml", "1",
                                   {DeviceSupport{"M2", {"Mac14"}, ModelSupport{"X", {"X"}, {}}}});
    const auto& rows = table.deviceSupports();
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0].chips, "M2");
    EXPECT_EQ(rows[0].identifiers, (std::vector<std::string>{"Mac14"}));
    EXPECT_EQ(rows[0].models.defaultModel, "X");
    ASSERT_EQ(rows[0].models.supported.size(), 23u);
    EXPECT_EQ(rows[0].models.supported[0], "X");
    EXPECT_EQ(std::vector<std::string>(rows[0].models.supported.begin() + 1, rows[0].models.supported.end()), row(4));
    // Fallback rows 1, 2, 3, 5, 6 follow unchanged; row 4 shares "Mac14" and is left out.
    for (auto [merged, original] : {std::pair{1, 1}, {2, 2}, {3, 3}, {4, 5}, {5, 6}})
        EXPECT_EQ(rows[merged].identifiers, fallback().deviceSupports()[original - 1].identifiers);
    EXPECT_EQ(table.knownModels().size(), 23u);
    EXPECT_EQ(table.knownModels().front(), "X");
    EXPECT_EQ(rows[1].models.disabled.front(), "X");
    EXPECT_EQ(rows[1].models.disabled[1], "openai_whisper-small");
}

TEST(ModelSupportConfig, OtherRepositoriesAreUsedUnchanged) {
    // Only the repository the fallback stands in for is merged: not any text the fallback's name
    // happens to contain.
    for (const char* name : {"my-models", "zadezariro", "coreml", "", "fallback"}) {
        const ModelSupportConfig table(name, "1", {DeviceSupport{std::nullopt, {"Mac14"}, ModelSupport{"X", {"X"}, {}}}});
        EXPECT_EQ(table.deviceSupports().size(), 1u) << name;
        EXPECT_EQ(table.modelSupport("Mac13,1").defaultModel, "openai_whisper-base") << name;
    }
    const ModelSupportConfig notMerged("zadezariro-coreml", "1", {}, false);
    EXPECT_TRUE(notMerged.deviceSupports().empty());
}

TEST(ModelSupportConfig, SettingTheRowsDerivesTheListsAgain) {
    ModelSupportConfig table("my-models", "1", {DeviceSupport{std::nullopt, {"Mac14"}, ModelSupport{"A", {"A", "B"}, {}}}});
    table.setDeviceSupports({DeviceSupport{"M1", {"Mac13"}, ModelSupport{"C", {"C"}, {}}},
                             DeviceSupport{std::nullopt, {"Mac14"}, ModelSupport{"D", {"D", "C"}, {}}}});
    EXPECT_EQ(table.knownModels(), (std::vector<std::string>{"C", "D"}));
    EXPECT_EQ(table.defaultSupport().models.supported, table.knownModels());
    EXPECT_EQ(table.deviceSupports()[0].models.disabled, (std::vector<std::string>{"D"}));
    EXPECT_TRUE(table.deviceSupports()[1].models.disabled.empty());
    EXPECT_EQ(table.modelSupport("Mac13,1").defaultModel, "C");
    EXPECT_EQ(table.modelSupport("Mac15,1").supported, (std::vector<std::string>{"C", "D"})) << "unknown devices get every known model";

    table.setDeviceSupports({});
    EXPECT_TRUE(table.knownModels().empty());
    EXPECT_EQ(table.modelSupport("Mac14,2").defaultModel, "openai_whisper-base");
}

TEST(ModelSupportConfig, JSONReadsOnlyItsKeysAndRecomputesDisabled) {
    const auto table = ModelSupportConfig::fromJSON(Json::parse(R"({
        "name": "other", "version": "2", "extra": true,
        "device_support": [
            {"identifiers": ["A"], "models": {"default": "m1", "supported": ["m1"], "disabled": ["bogus"]}},
            {"chips": null, "identifiers": ["B"], "models": {"default": "m2", "supported": ["m2", "m1"]}}
        ]})"));
    ASSERT_EQ(table.deviceSupports().size(), 2u);
    EXPECT_EQ(table.deviceSupports()[0].models.disabled, (std::vector<std::string>{"m2"}));
    EXPECT_FALSE(table.deviceSupports()[1].chips);

    const Json encoded = ModelSupportConfig("other", "2",
                                            {DeviceSupport{std::nullopt, {"A"}, ModelSupport{"m1", {"m1"}, {}}},
                                             DeviceSupport{"C1", {"B"}, ModelSupport{"m2", {"m2"}, {}}}})
                             .toJSON();
    EXPECT_EQ(encoded.dump(),
              R"({"name":"other","version":"2","device_support":[{"identifiers":["A"],"models":{"default":"m1","supported":["m1"]}},)"
              R"({"chips":"C1","identifiers":["B"],"models":{"default":"m2","supported":["m2"]}}]})");
    // The fallback's JSON reads back to the same rows.
    EXPECT_EQ(ModelSupportConfig::fromJSON(fallback().toJSON()).deviceSupports(), fallback().deviceSupports());

    for (const char* bad : {R"({"version":"1","device_support":[]})", R"({"name":"a","version":"1","device_support":{}})",
                            R"({"name":"a","version":"1","device_support":[{"identifiers":["A"]}]})",
                            R"({"name":"a","version":"1","device_support":[{"identifiers":"A","models":{"default":"m","supported":[]}}]})"})
        EXPECT_THROW(ModelSupportConfig::fromJSON(Json::parse(bad)), DecodingError) << bad;
}
