#include "DaroriCore/External/Tokenizers/PreTokenizers.hpp"

#include "DaroriCore/External/Tokenizers/ByteTables.hpp"

#include <gtest/gtest.h>

#include "TokenizerTestSupport.hpp"

using namespace darori;
using Pieces = std::vector<std::string>;
using namespace std::string_literals;

namespace {

Config preTokenizerConfig(const char* text) { return Config::convertToBinaryDistinctKeys(nlohmann::ordered_json::parse(text)); }

std::shared_ptr<const PreTokenizer> buildPreTokenizer(const char* text) {
    auto built = PreTokenizerFactory::fromConfig(preTokenizerConfig(text));
    if (!built) throw std::runtime_error("no pre-tokenizer");
    return built;
}

Pieces byteLevel(std::initializer_list<const char*> pieces) {
    Pieces out;
    for (const char* p : pieces) out.push_back(byteLevelEncoded(p));
    return out;
}

using tokenizer_test::M;

}  // namespace

TEST(PreTokenizers, DocumentedBehaviour) {
    struct Case {
        const char* config;
        std::string text;
        Pieces expected;
        PreTokenizerOptions options = {};
    };
    const Case cases[] = {
        {R"({"type": "Whitespace"})", "  Hello\tworld\n", {"Hello", "world"}},
        {R"({"type": "Whitespace"})", " \t\n", {}},
        {R"({"type": "WhitespaceSplit"})", "  Hello\tworld\n", {"Hello", "world"}},
        {R"({"type": "BertPreTokenizer"})", "Hello, world!!", {"Hello", ",", "world", "!", "!"}},
        {R"({"type": "BertPreTokenizer"})", "a$b«c»", {"a", "$", "b", "«", "c", "»"}},
        {R"({"type": "Punctuation"})", "Hello, world!!", {"Hello", ",", " world", "!!"}},
        {R"({"type": "Digits"})", "abc123", {"abc", "123"}},
        {R"({"type": "Digits", "individual_digits": true})", "abc123", {"abc", "1", "2", "3"}},
        {R"({"type": "Split", "pattern": {"String": "-"}})", "a--b", {"a", "-", "-", "b"}},
        {R"({"type": "Split", "pattern": {"String": "-"}, "invert": true})", "a--b", {"a", "b"}},
        {R"({"type": "Split", "pattern": {"Regex": "-+"}, "invert": true})", "a--b", {"a", "--", "b"}},
        {R"({"type": "Split", "pattern": {"String": ".", "Regex": "a"}})", "a.b", {"a", ".", "b"}},
        {R"({"type": "Split", "pattern": {"Regex": "("}})", "a(b", {"a(b"}},
        {R"({"type": "Split"})", "a b", {"a b"}},
        // A pattern that matches the empty text cuts between characters and ends.
        {R"({"type": "Split", "pattern": {"Regex": "x*"}})", "abx", {"a", "b", "x"}},
        {R"({"type": "Sequence", "pretokenizers": [{"type": "Whitespace"}, {"type": "Digits"}, {"notype": 1}]})",
         "ab12 cd", {"ab", "12", "cd"}},
        {R"({"type": "Metaspace"})", "a b", {"a", " b"}},
        {R"({"type": "Metaspace"})", "", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(buildPreTokenizer(c.config)->preTokenize(c.text, c.options), c.expected) << c.config << " on " << c.text;
}

TEST(PreTokenizers, ASplitWhoseSearchGivesUpFailsRatherThanStopSplitting) {
    // The first searches succeed; the one that reaches the nested repeats hits PCRE2's match limit.
    const auto split = buildPreTokenizer(R"({"type": "Split", "pattern": {"Regex": "(a+)+b| "}, "behavior": "Isolated"})");
    EXPECT_EQ(split->preTokenize("x y ab", {}), (Pieces{"x", " ", "y", " ", "ab"}));
    const std::string text = "x y " + std::string(40, 'a') + "! z";
    EXPECT_THROW(split->preTokenize(text, {}), RegexMatchError);
}

TEST(PreTokenizers, ByteLevel) {
    const auto plain = buildPreTokenizer(R"({"type": "ByteLevel", "add_prefix_space": false})");
    EXPECT_EQ(plain->preTokenize("Hello  world's 42!\n"),
              byteLevel({"Hello", " ", " world", "'s", " 42", "!", "\n"}));
    EXPECT_EQ(plain->preTokenize("é€"), byteLevel({"é", "€"}));
    EXPECT_EQ(plain->preTokenize(""), Pieces{});

    const auto prefixed = buildPreTokenizer(R"({"type": "ByteLevel", "add_prefix_space": true})");
    EXPECT_EQ(prefixed->preTokenize("it's"), byteLevel({" it", " 's"}));
    EXPECT_EQ(prefixed->preTokenize(" x"), byteLevel({" x"}));

    const auto whole = buildPreTokenizer(R"({"type": "ByteLevel", "add_prefix_space": true, "use_regex": false})");
    EXPECT_EQ(whole->preTokenize(""), byteLevel({" "}));
    EXPECT_EQ(whole->preTokenize("a b"), byteLevel({" a b"}));
}

TEST(PreTokenizers, MetaspacePrependSchemes) {
    struct Case {
        const char* scheme;
        bool first;
        std::string text;
        Pieces expected;
    };
    const Case cases[] = {
        {"first", true, "Hello world", {M + "Hello", M + "world"}},
        {"first", false, "Hello world", {"Hello", M + "world"}},
        {"always", false, "Hello world", {M + "Hello", M + "world"}},
        {"never", true, "Hello world", {"Hello", M + "world"}},
        {"sometimes", false, "Hello", {M + "Hello"}},  // an unknown scheme is always
        {"always", true, " Hello world", {M + "Hello", M + "world"}},
        {"first", true, "a  b", {M + "a", M, M + "b"}},
    };
    for (const Case& c : cases) {
        const std::string config = std::string(R"({"type": "Metaspace", "replacement": "▁", "add_prefix_space": true,)") +
                                   R"( "prepend_scheme": ")" + c.scheme + "\"}";
        PreTokenizerOptions options;
        if (c.first) options.insert(PreTokenizerOption::firstSection);
        EXPECT_EQ(buildPreTokenizer(config.c_str())->preTokenize(c.text, options), c.expected) << c.scheme << " on " << c.text;
    }
}

TEST(PreTokenizers, MetaspaceReplacementIsLiteral) {
    // Characters with a meaning in patterns are found as themselves.
    EXPECT_EQ(buildPreTokenizer(R"({"type": "Metaspace", "replacement": "."})")->preTokenize("a b.c"), (Pieces{"a", ".b", ".c"}));
    EXPECT_EQ(buildPreTokenizer(R"({"type": "Metaspace", "replacement": "|"})")->preTokenize("ab c"), (Pieces{"ab", "|c"}));
    EXPECT_EQ(buildPreTokenizer(R"({"type": "Metaspace", "replacement": "("})")->preTokenize("a b"), (Pieces{"a", "(b"}));
    // A separate text for the spaces ("str_rep").
    EXPECT_EQ(buildPreTokenizer(R"({"type": "Metaspace", "replacement": "▁", "str_rep": "▁▁"})")->preTokenize("a b"),
              (Pieces{"a", M, M + "b"}));
}

TEST(PreTokenizers, FactoryRejectsUnknownConfigurations) {
    EXPECT_EQ(PreTokenizerFactory::fromConfig(Config()), nullptr);
    EXPECT_EQ(PreTokenizerFactory::fromConfig(preTokenizerConfig(R"({"type": 3})")), nullptr);
    EXPECT_EQ(PreTokenizerFactory::fromConfig(preTokenizerConfig(R"([1, 2])")), nullptr);
    struct Case {
        const char* config;
        const char* message;
    };
    const Case cases[] = {
        {R"({"type": "bytelevel"})", "Unsupported PreTokenizer type: bytelevel"},
        {R"({"type": ""})", "Unsupported PreTokenizer type: "},
        {R"({"type": "Sequence"})", "No pretokenizers in Sequence"},
        {R"({"type": "Sequence", "pretokenizers": [{"type": "Nope"}]})", "Unsupported PreTokenizer type: Nope"},
    };
    for (const Case& c : cases) {
        try {
            PreTokenizerFactory::fromConfig(preTokenizerConfig(c.config));
            ADD_FAILURE() << "accepted " << c.config;
        } catch (const StageConfigurationError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(PreTokenizers, ByteLevelPiecesDecodeToTheText) {
    // Together the byte-level pieces hold every byte of the text: nothing between matches is lost,
    // and invalid UTF-8 comes back as one U+FFFD per maximal invalid subpart.
    const auto preTokenizer = buildPreTokenizer(R"({"type": "ByteLevel", "add_prefix_space": false})");
    const std::string R = "\uFFFD";
    const std::pair<std::string, std::string> cases[] = {
        {"Hello, world! It's 2024...  \n\n\ttabs", "Hello, world! It's 2024...  \n\n\ttabs"},
        {"Ça coûte 3,50 € — 東京 😀👍🏽 \u00AD\u0000x"s, "Ça coûte 3,50 € — 東京 😀👍🏽 \u00AD\u0000x"s},
        {"ab\xFF" "cd\xE2\x82" " e\xC3", "ab" + R + "cd" + R + " e" + R},
    };
    for (const auto& [text, expected] : cases) {
        std::string bytes;
        for (const std::string& piece : preTokenizer->preTokenize(text)) {
            for (std::size_t i = 0; i < piece.size();) {
                const std::size_t start = i;
                i += (static_cast<unsigned char>(piece[i]) < 0x80) ? 1 : 2;  // the table's characters are 1 or 2 bytes
                bytes.push_back(static_cast<char>(byteDecoder().at(piece.substr(start, i - start))));
            }
        }
        EXPECT_EQ(bytes, expected);
    }
    EXPECT_EQ(buildPreTokenizer(R"({"type": "Whitespace"})")->preTokenize("a\xFF b"), (Pieces{"a\uFFFD", "b"}));
}
