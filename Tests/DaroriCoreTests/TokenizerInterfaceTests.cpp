#include "DaroriCore/External/Tokenizers/Tokenizer.hpp"
#include "DaroriCore/External/Tokenizers/TokenizerError.hpp"
#include "DaroriCore/External/Tokenizers/TokenizerModel.hpp"
#include "DaroriCore/External/Tokenizers/Trie.hpp"

#include <gtest/gtest.h>

#include "TokenizerTestSupport.hpp"

using namespace darori;
using tokenizer_test::json;

TEST(TokenizerError, Descriptions) {
    const std::pair<TokenizerError, const char*> cases[] = {
        {TokenizerError::unsupportedTokenizer("Tokenizer"), "The tokenizer type 'Tokenizer' is not supported."},
        {TokenizerError::tooLong("9000 tokens"), "Input is too long: 9000 tokens"},
        {TokenizerError::mismatchedConfig("x"), "Tokenizer configuration mismatch: x"},
        {TokenizerError::missingConfig(), "Tokenizer configuration is missing."},
        {TokenizerError::missingTokenizerClassInConfig(), "The tokenizer class is not specified in the configuration."},
        {TokenizerError::missingVocab(), "Vocabulary file is missing from the tokenizer configuration."},
        {TokenizerError::malformedVocab(), "The vocabulary file is malformed or corrupted."},
    };
    for (const auto& [error, text] : cases) EXPECT_STREQ(error.what(), text);
}

TEST(TokenizerInterfaces, TokenEntriesAsText) {
    // Both readers take a plain text or an object's string "content"; anything else is nothing.
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {R"({"unk_token": "<unk>"})", "<unk>"},
        {R"({"unk_token": {"content": "<unk>", "special": true}})", "<unk>"},
        {R"({"unk_token": null})", std::nullopt},
        {R"({"unk_token": {"content": 5}})", std::nullopt},
        {R"({"unk_token": 7})", std::nullopt},
        {R"({})", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        const Config config = json(text);
        EXPECT_EQ(TokenizerModel::unknownToken(config), expected) << text;
        EXPECT_EQ(addedTokenAsString(config["unkToken"]), expected) << text;
    }
    EXPECT_EQ(addedTokenAsString(nullptr), std::nullopt);
}

TEST(Trie, CommonPrefixesShortestFirst) {
    Trie<char> trie;
    trie.append(std::vector<std::string>{"a", "ab", "abc", "b"});
    trie.insert(std::string("ab"));  // a second insert changes nothing
    auto collect = [&](const std::string& text) {
        std::vector<std::string> found;
        auto it = trie.commonPrefixSearch(text);
        while (auto entry = it.next()) found.emplace_back(entry->begin(), entry->end());
        return found;
    };
    EXPECT_EQ(collect("abd"), (std::vector<std::string>{"a", "ab"}));
    EXPECT_EQ(collect("abcd"), (std::vector<std::string>{"a", "ab", "abc"}));
    EXPECT_TRUE(collect("").empty());
    EXPECT_TRUE(collect("c").empty());

    Trie<char> onlyAB;
    onlyAB.insert(std::string("ab"));
    EXPECT_TRUE(onlyAB.commonPrefixSearch(std::string("a")).next() == std::nullopt);  // a path, not a leaf
    std::string text = "abab";
    auto lengths = onlyAB.commonPrefixSearch(text.begin(), text.end());
    EXPECT_EQ(lengths.nextLength(), 2u);
    EXPECT_EQ(lengths.nextLength(), std::nullopt);
    EXPECT_EQ(lengths.nextLength(), std::nullopt);  // stays exhausted
}
