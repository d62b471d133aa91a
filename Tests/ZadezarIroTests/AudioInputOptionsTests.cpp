#include "ZadezarIro/Core/Audio/AudioInputOptions.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

using namespace zadezariro;

namespace {
using Mode = AudioInputOptions::ChannelMode;
using Specific = AudioInputOptions::SpecificChannel;
using Sum = AudioInputOptions::SumChannels;
}  // namespace

// Each mode's JSON text, written and read back to the same mode.
TEST(ChannelModeJSON, EveryModeHasItsFormAndReadsBack) {
    struct Case {
        Mode mode;
        const char* json;
    } cases[] = {
        {Specific{1}, R"({"specificChannel":{"_0":1}})"},
        {Specific{-3}, R"({"specificChannel":{"_0":-3}})"},
        {Sum{}, R"({"sumChannels":{}})"},
        {Sum{std::vector<std::int64_t>{}}, R"({"sumChannels":{"_0":[]}})"},
        {Sum{std::vector<std::int64_t>{0, 2, 2}}, R"({"sumChannels":{"_0":[0,2,2]}})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(toJSON(c.mode).dump(), c.json);
        EXPECT_EQ(channelModeFromJSON(Json::parse(c.json)), c.mode) << c.json;
    }
    EXPECT_EQ(channelModeFromJSON(Json::parse(R"({"sumChannels":{"_0":null}})")), Mode(Sum{}));
    EXPECT_EQ(channelModeFromJSON(Json::parse(R"({"specificChannel":{"_0":4},"other":true})")), Mode(Specific{4}));
}

TEST(ChannelModeJSON, MalformedFormsAreRefusedWithTheirReason) {
    struct Case {
        const char* json;
        DecodingError::Kind kind;
        const char* description;  // nullptr: any
    } cases[] = {
        {R"({"specificChannel":{"_0":1},"sumChannels":{}})", DecodingError::Kind::typeMismatch, "Invalid number of keys found, expected one."},
        {R"({})", DecodingError::Kind::typeMismatch, "Invalid number of keys found, expected one."},
        {R"({"mono":{}})", DecodingError::Kind::typeMismatch, "Invalid number of keys found, expected one."},
        {R"([])", DecodingError::Kind::typeMismatch, nullptr},
        {R"({"specificChannel":{}})", DecodingError::Kind::keyNotFound, nullptr},
        {R"({"specificChannel":{"_0":"1"}})", DecodingError::Kind::typeMismatch, nullptr},
        {R"({"specificChannel":{"_0":1.5}})", DecodingError::Kind::typeMismatch, nullptr},
        {R"({"sumChannels":{"_0":[1,"2"]}})", DecodingError::Kind::typeMismatch, nullptr},
        {R"({"sumChannels":3})", DecodingError::Kind::typeMismatch, nullptr},
    };
    for (const auto& c : cases) {
        try {
            channelModeFromJSON(Json::parse(c.json));
            ADD_FAILURE() << "accepted " << c.json;
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.kind(), c.kind) << c.json << ": " << e.what();
            if (c.description) {
                EXPECT_EQ(e.debugDescription(), c.description) << c.json;
            }
        }
    }
}

// Equal modes hash equally; the modes that differ (case, index, absent against empty list, order)
// all land in distinct buckets of a set.
TEST(ChannelModeHash, FollowsEquality) {
    const std::hash<Mode> hash;
    EXPECT_EQ(hash(Specific{2}), hash(Specific{2}));
    EXPECT_EQ(hash(Sum{std::vector<std::int64_t>{1, 0}}), hash(Sum{std::vector<std::int64_t>{1, 0}}));
    const std::unordered_set<Mode> modes{Specific{0}, Specific{1}, Sum{}, Sum{std::vector<std::int64_t>{}},
                                         Sum{std::vector<std::int64_t>{0}}, Sum{std::vector<std::int64_t>{0, 1}},
                                         Sum{std::vector<std::int64_t>{1, 0}}, Specific{0}};
    EXPECT_EQ(modes.size(), 7u);
    EXPECT_NE(hash(Sum{}), hash(Sum{std::vector<std::int64_t>{}}));
}
