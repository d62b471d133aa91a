#include "DaroriCore/External/Tokenizers/Decoders.hpp"

#include "DaroriCore/External/Tokenizers/ByteTables.hpp"

#include <gtest/gtest.h>

#include "TokenizerTestSupport.hpp"

using namespace darori;
using Tokens = std::vector<std::string>;

namespace {

Config decoderConfig(const std::string& text) { return Config::convertToBinaryDistinctKeys(nlohmann::ordered_json::parse(text)); }

std::shared_ptr<const Decoder> buildDecoder(const std::string& config, std::optional<std::set<std::string>> added = std::nullopt) {
    auto built = DecoderFactory::fromConfig(decoderConfig(config), added);
    if (!built) throw std::runtime_error("no decoder");
    return built;
}

using tokenizer_test::M;

}  // namespace

TEST(Decoders, DocumentedBehaviour) {
    struct Case {
        std::string config;
        Tokens tokens;
        Tokens expected;
    };
    const std::string wordPiece = R"({"type": "WordPiece", "prefix": "##"})";
    const std::string cleanup = R"({"type": "WordPiece", "prefix": "##", "cleanup": true})";
    const std::string fallback = R"({"type": "ByteFallback"})";
    const std::string R = "\uFFFD";
    const Case cases[] = {
        {wordPiece, {"un", "##believ", "##able", "!"}, {"un", "believ", "able", " !"}},
        {cleanup, {"un", "##believ", "##able", "!"}, {"un", "believ", "able", "!"}},
        {wordPiece, {"x", "##a##b"}, {"x", "a##b"}},
        {wordPiece, {"##a", "b"}, {"##a", " b"}},
        {wordPiece, {}, {}},
        {R"({"type": "WordPiece", "prefix": ""})", {"a", "b"}, {"a", "b"}},
        {cleanup, {"i do not think so ."}, {"i don't think so."}},
        {cleanup, {"it", "'s", "n't", "?"}, {"it", "'s", "n't", "?"}},
        {fallback, {"<0xE2>", "<0x82>", "<0xAC>", "x"}, {"€", "x"}},
        {fallback, {"a", "<0xC3>", "<0xA9>"}, {"a", "é"}},
        {fallback, {"<0xFF>"}, {R}},
        {fallback, {"<0xE2>", "<0x82>", "y"}, {R, "y"}},
        {fallback, {"<0xZZ>"}, {"<0xZZ>"}},
        // Two characters read as a hexadecimal number, a sign allowed; a negative one is no byte.
        {fallback, {"<0x+5>", "<0x-1>", "<0x+1>", "<0x+G>", "<0x4>", "<0x41"}, {"\x05", "<0x-1>", "\x01", "<0x+G>", "<0x4>", "<0x41"}},
        {R"({"type": "Replace", "pattern": {"Regex": "\\b"}, "content": "|"})", {"ab cd"}, {"|ab| |cd|"}},
        {fallback, {"<0x41>", "<0x62>"}, {"Ab"}},
        {fallback, {}, {}},
        {R"({"type": "Strip", "content": " ", "start": 1, "stop": 0})", {" Hello", "  Hi"}, {"Hello", " Hi"}},
        {R"({"type": "Strip", "content": "x", "start": 0, "stop": 2})", {"axxx", "x"}, {"ax", ""}},
        {R"({"type": "Strip", "content": "x", "start": -1, "stop": -1})", {"xax"}, {"xax"}},
        {R"({"type": "Metaspace", "replacement": "▁", "add_prefix_space": true})", {M + "Hello", M + "world"}, {"Hello", " world"}},
        {R"({"type": "Metaspace", "replacement": "▁"})", {M + "Hello", M + "world"}, {" Hello", " world"}},
        {R"({"type": "Metaspace"})", {"a_b"}, {"a b"}},
        {R"({"type": "Metaspace", "add_prefix_space": true})", {}, {}},
        {R"({"type": "Fuse"})", {"a", "b"}, {"ab"}},
        {R"({"type": "Fuse"})", {}, {""}},
        {R"({"type": "Replace", "pattern": {"String": "▁"}, "content": " "})", {M + "a" + M, "b"}, {" a ", "b"}},
        {R"({"type": "Replace", "pattern": {"Regex": "a+"}, "content": "$0$0"})", {"baab"}, {"baaaab"}},
        {R"({"type": "Replace", "pattern": {"String": "▁"}})", {M}, {M}},
        {R"({"type": "Sequence", "decoders": [{"type": "Replace", "pattern": {"String": "▁"}, "content": " "},
            {"type": "ByteFallback"}, {"type": "Fuse"}, {"type": "Strip", "content": " ", "start": 1, "stop": 0}]})",
         {M + "H", "<0xC3>", "<0xA9>", M + "x"}, {"Hé x"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(buildDecoder(c.config)->decode(c.tokens), c.expected) << c.config << " on " << ::testing::PrintToString(c.tokens);
    }
}

TEST(Decoders, ByteLevelKeepsAddedTokensWhole) {
    const std::string end = "<|endoftext|>";
    const auto decoder = buildDecoder(R"({"type": "ByteLevel"})", std::set<std::string>{end});
    const Tokens tokens{byteLevelEncoded("Hi"), byteLevelEncoded(" th"), end, byteLevelEncoded(" ok")};
    EXPECT_EQ(decoder->decode(tokens), (Tokens{"Hi th", end, " ok"}));
    EXPECT_EQ(decoder->decode({end, end}), (Tokens{end, end}));
    EXPECT_EQ(decoder->decode({}), Tokens{});

    // Inside a sequence the decoder has no added tokens, so the token's characters are decoded too.
    const auto sequence = buildDecoder(R"({"type": "Sequence", "decoders": [{"type": "ByteLevel"}]})", std::set<std::string>{end});
    EXPECT_EQ(sequence->decode({"a", "<|endoftext|>"}), (Tokens{"a<|endoftext|>"}));
}

TEST(Decoders, ByteLevelRunsFormCharactersAcrossTokens) {
    const auto decoder = buildDecoder(R"({"type": "ByteLevel"})");
    // "€" is E2 82 AC, spread over two tokens.
    const std::string euro = byteLevelEncoded("€");
    const std::string split1 = byteLevelEncoded("\xE2\x82");
    const std::string split2 = byteLevelEncoded("\xAC");
    EXPECT_EQ(decoder->decode({split1, split2}), (Tokens{"€"}));
    // A broken sequence is one replacement; a character outside the table stands for itself.
    EXPECT_EQ(decoder->decode({split1, "x"}), (Tokens{"\uFFFDx"}));
    EXPECT_EQ(decoder->decode({"a\u20AC" + byteLevelEncoded(" b") + " "}), (Tokens{"a€ b "}));
}

TEST(Decoders, FactoryRejectsUnknownConfigurations) {
    EXPECT_EQ(DecoderFactory::fromConfig(Config()), nullptr);
    EXPECT_EQ(DecoderFactory::fromConfig(decoderConfig(R"({"kind": "Fuse"})")), nullptr);
    struct Case {
        const char* config;
        const char* message;
    };
    const Case cases[] = {
        {R"({"type": "fuse"})", "Unsupported Decoder type: fuse"},
        {R"({"type": ""})", "Unsupported Decoder type: "},
        {R"({"type": "Sequence"})", "No decoders in Sequence"},
        {R"({"type": "WordPiece"})", "Missing `prefix` configuration for WordPieceDecoder."},
        {R"({"type": "Strip", "start": 1, "stop": 1})", "Incorrect StripDecoder configuration: can't parse `content`."},
        {R"({"type": "Strip", "content": " ", "start": 1.5, "stop": 1})",
         "Incorrect StripDecoder configuration: can't parse `start`."},
        {R"({"type": "Strip", "content": " ", "start": 1, "stop": "1"})",
         "Incorrect StripDecoder configuration: can't parse `stop`."},
        {R"({"type": "Replace", "pattern": {"Regex": "[a"}, "content": ""})", "Cannot build regexp from [a"},
    };
    for (const Case& c : cases) {
        try {
            DecoderFactory::fromConfig(decoderConfig(c.config));
            ADD_FAILURE() << "accepted " << c.config;
        } catch (const StageConfigurationError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}
