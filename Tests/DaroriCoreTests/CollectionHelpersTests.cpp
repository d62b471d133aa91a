#include "DaroriCore/CollectionHelpers.hpp"

#include <gtest/gtest.h>

using namespace darori;

TEST(CollectionHelpers, GlobMatchingAlsoCrossesSlashes) {
    const std::vector<std::string> names = {"config.json", "openai_whisper-tiny/AudioEncoder.mlmodelc/weights.bin",
                                            ".hidden", "OPENAI_whisper-base/x", "a/b"};
    EXPECT_EQ(matching(names, "*"), names);
    EXPECT_EQ(matching(names, "*openai*"), (std::vector<std::string>{names[1]}));
    EXPECT_EQ(matching(names, "*whisper-tiny/*"), (std::vector<std::string>{names[1]}));
    EXPECT_EQ(matching(names, "?/?"), (std::vector<std::string>{"a/b"}));
    EXPECT_EQ(matching({"a*b", "axb"}, "a\\*b"), (std::vector<std::string>{"a*b"}));
    EXPECT_EQ(matching({"a.txt", "b.json"}, "[ab].json"), (std::vector<std::string>{"b.json"}));
    EXPECT_TRUE(matching({}, "*").empty());
}

TEST(CollectionHelpers, Batches) {
    EXPECT_EQ(batched(std::vector<int>{1, 2, 3, 4, 5}, 2), (std::vector<std::vector<int>>{{1, 2}, {3, 4}, {5}}));
    EXPECT_EQ(batched(std::vector<int>{1, 2}, 5), (std::vector<std::vector<int>>{{1, 2}}));
    EXPECT_TRUE(batched(std::vector<int>{}, 3).empty());
    // A size of 0 fails instead of looping forever.
    EXPECT_THROW(batched(std::vector<int>{1}, 0), std::invalid_argument);
}

TEST(CollectionHelpers, OrderedSetKeepsFirstOccurrences) {
    EXPECT_EQ(orderedSet(std::vector<int>{3, 1, 3, 2, 1}), (std::vector<int>{3, 1, 2}));
    EXPECT_EQ(orderedSet(std::vector<std::string>{"b", "a", "b"}), (std::vector<std::string>{"b", "a"}));
}
