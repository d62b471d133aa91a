#include "DaroriCore/External/Tokenizers/Normalizers.hpp"

#include <gtest/gtest.h>

using namespace darori;
using namespace std::string_literals;

namespace {

Config normalizerConfig(const std::string& text) { return Config::convertToBinaryDistinctKeys(nlohmann::ordered_json::parse(text)); }

std::string normalize(const std::string& config, const std::string& text) {
    auto built = NormalizerFactory::fromConfig(normalizerConfig(config));
    if (!built) throw std::runtime_error("no normalizer");
    return built->normalize(text);
}

}  // namespace

TEST(Normalizers, DocumentedBehaviour) {
    struct Case {
        std::string config;
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {R"({"type": "Sequence", "normalizers": [{"type": "NFD"}, {"type": "Lowercase"}]})", "Ça", "c\u0327a"},
        {R"({"type": "Sequence", "normalizers": []})", "Ab", "Ab"},
        {R"({"type": "NFC"})", "e\u0301", "é"},
        {R"({"type": "NFD"})", "é", "e\u0301"},
        {R"({"type": "NFKC"})", "ﬁ①", "fi1"},
        {R"({"type": "NFKD"})", "ﬁé", "fie\u0301"},
        {R"({"type": "StripAccents"})", "e\u0301", "é"},
        {R"({"type": "Lowercase"})", "HELLO Ça", "hello ça"},
        // An empty match is replaced once, also when it lies after the search start.
        {R"({"type": "Replace", "pattern": {"Regex": "$"}, "content": "!"})", "ab cd", "ab cd!"},
        {R"j({"type": "Replace", "pattern": {"Regex": "(?=b)"}, "content": "!"})j", "ab cd", "a!b cd"},
        // Full mapping: dotted capital I, final sigma at the end of a word only.
        {R"({"type": "Lowercase"})", "\u0130", "i\u0307"},
        {R"({"type": "Lowercase"})", "ΟΔΟΣ ΣΑ Σ", "οδος σα σ"},
        {R"({"type": "Lowercase"})", "ΑΣ'Β ΑΣ'", "ασ'β ας'"},
        {R"({"type": "Bert"})", "Héllo\t中国", "hello  中  国 "},
        {R"({"type": "BertNormalizer", "lowercase": false})", "Héllo\t中国", "Héllo  中  国 "},
        {R"({"type": "Bert", "lowercase": false, "strip_accents": true})", "Héllo", "Hello"},
        {R"({"type": "Bert", "handle_chinese_chars": false, "clean_text": false})", "中\t", "中\t"},
        // Clean text: CR LF is one character; NUL, U+FFFD, controls, format and private-use go.
        {R"({"type": "Bert", "lowercase": false})", "a\r\nb\u0000c\uFFFDd\u0007e\u200Bf\uE000g"s, "a bcdefg"},
        {R"({"type": "Replace", "pattern": {"String": " "}, "content": "▁"})", "a b  c", "a▁b▁▁c"},
        {R"({"type": "Replace", "pattern": {"Regex": "\\s+"}, "content": " "})", "a \t b", "a b"},
        {R"J({"type": "Replace", "pattern": {"Regex": "(\\d)"}, "content": "<$1>"})J", "a1b2", "a<1>b<2>"},
        {R"({"type": "Replace", "pattern": {"String": "a", "Regex": "b"}, "content": "x"})", "ab", "xb"},
        {R"({"type": "Replace", "pattern": {"String": "a"}})", "ab", "ab"},
        {R"({"type": "Replace", "content": "x"})", "ab", "ab"},
        {R"({"type": "Strip"})", " \n a b \u3000", "a b"},
        {R"({"type": "Strip", "stripLeft": false})", "  a  ", "  a"},
        {R"({"type": "Strip", "strip_right": false})", "  a  ", "a  "},
        {R"({"type": "Strip"})", "   ", ""},
        {R"({"type": "Prepend", "prepend": "▁"})", "", "▁"},
        {R"({"type": "Prepend", "prepend": "▁"})", "ab", "▁ab"},
        {R"({"type": "Precompiled", "precompiled_charsmap": "ignored"})", "a\u0007b\tc", "ab c"},
        {R"({"type": "Precompiled"})", "x～y", "x～y"},
        {R"({"type": "Precompiled"})", "～a～～b～", "a～b"},
        {R"({"type": "Precompiled"})", "ﬁ\u200B\u0000\u0085"s, "fi \u0000\u0085"s},
    };
    for (const Case& c : cases) EXPECT_EQ(normalize(c.config, c.text), c.expected) << c.config << " on " << c.text;
}

TEST(Normalizers, BertAndBertNormalizerShareDefaults) {
    const auto a = NormalizerFactory::fromConfig(normalizerConfig(R"({"type": "Bert"})"));
    const auto b = NormalizerFactory::fromConfig(normalizerConfig(R"({"type": "BertNormalizer"})"));
    for (const auto& n : {a, b}) {
        const auto& bert = dynamic_cast<const BertNormalizer&>(*n);
        EXPECT_TRUE(bert.shouldCleanText && bert.shouldHandleChineseChars && bert.shouldStripAccents && bert.shouldLowercase);
    }
}

TEST(Normalizers, InvalidUTF8ReadsAsReplacementCharacters) {
    EXPECT_EQ(normalize(R"({"type": "NFC"})", "a\xE2\x82z\xFF"), "a\uFFFDz\uFFFD");
    EXPECT_EQ(normalize(R"({"type": "Lowercase"})", "A\xC3"), "a\uFFFD");
}

TEST(Normalizers, FactoryRejectsUnknownConfigurations) {
    EXPECT_EQ(NormalizerFactory::fromConfig(Config()), nullptr);
    EXPECT_EQ(NormalizerFactory::fromConfig(normalizerConfig(R"({"type": null})")), nullptr);
    struct Case {
        const char* config;
        const char* message;
    };
    const Case cases[] = {
        {R"({"type": "lowercase"})", "Unsupported Normalizer type: lowercase"},
        {R"({"type": ""})", "Unsupported Normalizer type: "},
        {R"({"type": "Sequence", "normalizers": {}})", "No normalizers in Sequence"},
        {R"({"type": "Replace", "pattern": {"Regex": "("}, "content": "x"})", "Cannot build regexp from ("},
    };
    for (const Case& c : cases) {
        try {
            NormalizerFactory::fromConfig(normalizerConfig(c.config));
            ADD_FAILURE() << "accepted " << c.config;
        } catch (const StageConfigurationError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}
