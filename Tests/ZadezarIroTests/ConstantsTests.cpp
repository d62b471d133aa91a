#include "ZadezarIro/Core/Constants.hpp"

#include <map>

#include <gtest/gtest.h>

#include "DaroriCore/External/Hub/HubApi.hpp"
#include "ZadezarIro/Utilities/Extensions.hpp"

using namespace zadezariro;

TEST(Constants, LanguageTableAndCodes) {
    const auto& languages = Constants::languages();
    ASSERT_EQ(languages.size(), 112u);
    EXPECT_EQ(Constants::languageCodes().size(), 100u);
    for (const char* code : {"yue", "haw", "jw", "en"}) EXPECT_TRUE(Constants::languageCodes().count(code)) << code;
    const std::map<std::string, std::string> byName(languages.begin(), languages.end());
    EXPECT_EQ(byName.size(), 112u);  // names are unique
    EXPECT_EQ(byName.at("mandarin"), "zh");
    EXPECT_EQ(byName.at("chinese"), "zh");
    EXPECT_EQ(byName.at("burmese"), "my");
    EXPECT_EQ(byName.at("myanmar"), "my");
    EXPECT_EQ(byName.at("haitian creole"), "ht");
    EXPECT_EQ(languages.front(), (std::pair<std::string, std::string>{"english", "en"}));
    EXPECT_EQ(languages.back(), (std::pair<std::string, std::string>{"mandarin", "zh"}));
}

TEST(Constants, SizesAndPunctuation) {
    EXPECT_EQ(Constants::defaultWindowSamples, 30 * 16000);
    EXPECT_EQ(Constants::maxTokenContext, 224);
    EXPECT_EQ(Constants::defaultAudioReadFrameSize, 1323000u);
    EXPECT_EQ(Constants::defaultPrependPunctuations.size(), 13u);
    EXPECT_EQ(Constants::defaultAppendPunctuations.size(), 31u);
    EXPECT_EQ(Constants::defaultAppendPunctuations.substr(0, 6), "\"'.\u3002");
    EXPECT_EQ(Constants::defaultRemoteEndpoint, darori::HubApi::DEFAULT_ENDPOINT);
    EXPECT_EQ(Constants::defaultRemoteConfigName, "config.json");
    EXPECT_EQ(trimmingSpecialTokenCharacters("<|de|>"), "de");
    EXPECT_EQ(trimmingSpecialTokenCharacters("<|>"), "");
    EXPECT_EQ(trimmingSpecialTokenCharacters("a<|b"), "a<|b");
}
