#include "DaroriCore/External/Hub/Config.hpp"

#include <cmath>
#include <unordered_set>

#include <gtest/gtest.h>

using namespace darori;
using Json = nlohmann::ordered_json;

namespace {
const std::string NFC_E_ACUTE = "\xC3\xA9";
const std::string NFD_E_ACUTE = "e\xCC\x81";
Config parse(const char* text) { return Config::convertToBinaryDistinctKeys(Json::parse(text)); }
}  // namespace

TEST(Config, LookupByKeyThenSnakeCase) {
    const Config only = Config::makeDictionary({{"model_type", "bert"}});
    for (const char* key : {"modelType", "model_type", "ModelType", "modelTYPE"}) {
        EXPECT_EQ(only[key].string(), "bert") << key;
    }
    const Config both = Config::makeDictionary({{"modelType", "camel"}, {"model_type", "snake"}});
    EXPECT_EQ(both["modelType"].string(), "camel");
    EXPECT_TRUE(only["missing"].isNull());
    EXPECT_EQ(only.member("missing"), Config());  // a present null

    for (const Config& notDict : {Config::makeArray({1}), Config("x")}) {
        EXPECT_TRUE(notDict["modelType"].isNull());
        EXPECT_EQ(notDict.member("modelType"), std::nullopt);
    }
    // Nested access through the fallback.
    EXPECT_EQ(parse(R"({"post_processor":{"sep":["[SEP]",102]}})")["postProcessor"]["sep"].token()->id, 102u);
}

TEST(Config, UncamelCase) {
    const std::pair<const char*, const char*> cases[] = {
        {"modelType", "model_type"}, {"tokenizerClass", "tokenizer_class"}, {"addBOSToken", "add_bostoken"},
        {"addBosToken", "add_bos_token"}, {"ABC", "abc"}, {"already_snake", "already_snake"},
        {"\xC3\x89t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},  // Été -> été (non-ASCII upper case)
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(Config::uncamelCase(in).string(), out) << in;
}

TEST(Config, KeysAreByteExact) {
    const Config c = parse(("{\"" + NFC_E_ACUTE + "\":1,\"" + NFD_E_ACUTE + "\":2}").c_str());
    ASSERT_EQ(c.dictionary()->size(), 2u);
    EXPECT_EQ(c[NFC_E_ACUTE].integer(), 1);
    EXPECT_EQ(c[NFD_E_ACUTE].integer(), 2);
}

TEST(Config, ConvertsParsedJSON) {
    const Config c = parse(R"({"a":true,"b":1.5,"c":2.0,"d":null,"e":[1,"x"],"f":0.1,"g":18446744073709551615,"h":false})");
    // JSON true and false are the integers 1 and 0, read back as flags, and equal to the booleans.
    EXPECT_EQ(c["a"].integer(), 1);
    EXPECT_EQ(c["a"].boolean(), true);
    EXPECT_EQ(c["h"].integer(), 0);
    EXPECT_EQ(c["h"].boolean(), false);
    EXPECT_EQ(c["a"], Config(true));
    EXPECT_EQ(c["h"], Config(false));
    EXPECT_NE(c["h"], Config(true));
    EXPECT_EQ(std::hash<Config>{}(c["a"]), std::hash<Config>{}(Config(true)));
    EXPECT_EQ(c["b"].floating(), 1.5f);
    EXPECT_EQ(c["c"].integer(), 2);
    EXPECT_TRUE(c["d"].isNull());
    ASSERT_NE(c["e"].array(), nullptr);
    EXPECT_EQ(c["e"], Config::makeArray({1, "x"}));
    EXPECT_EQ(c["f"].floating(), 0.1f);
    EXPECT_EQ(c["g"].value.kind(), Config::Data::Kind::floating);
}

TEST(Config, TypedReaders) {
    struct BoolCase { Config value; std::optional<bool> expected; };
    const BoolCase bools[] = {
        {"TRUE", true}, {"t", true}, {"1", true}, {"False", false}, {"f", false}, {"0", false}, {"yes", std::nullopt},
        {1, true}, {0, false}, {7, false}, {1.0f, std::nullopt}, {true, true}, {Config(), std::nullopt},
    };
    for (const auto& c : bools) EXPECT_EQ(c.value.boolean(), c.expected) << c.value.description();

    EXPECT_EQ(Config::makeArray({"a", 3, "b"}).get(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(Config("a").get(), std::nullopt);

    const auto t = Config::makeArray({"[SEP]", 2}).token();
    ASSERT_TRUE(t);
    EXPECT_EQ(t->id, 2u);
    EXPECT_EQ(t->text.string(), "[SEP]");
    EXPECT_EQ(Config::makeArray({2, "[SEP]"}).token(), std::nullopt);
    EXPECT_EQ(Config::makeArray({"a", 1, 2}).token(), std::nullopt);
    EXPECT_EQ(Config::makeArray({"a", -1}).token(), std::nullopt);
    EXPECT_EQ(Config(Config::Token{5, "x"}).token()->id, 5u);
    EXPECT_EQ(Config(3).string(), std::nullopt);
    EXPECT_EQ(Config("3").integer(), std::nullopt);
}

TEST(Config, DecodesAndEncodes) {
    auto decode = [](const char* text) { return Config::decode(Json::parse(text)); };
    EXPECT_EQ(decode(R"([5,"x"])").value.kind(), Config::Data::Kind::token);
    EXPECT_EQ(decode(R"([5,"x"])").token()->text.string(), "x");
    EXPECT_EQ(decode(R"(["x",5])").value.kind(), Config::Data::Kind::array);
    EXPECT_EQ(decode("{}").dictionary()->size(), 0u);
    EXPECT_EQ(decode("3").value.kind(), Config::Data::Kind::integer);
    EXPECT_EQ(decode("3.5").floating(), 3.5f);
    EXPECT_EQ(decode("true").value.kind(), Config::Data::Kind::boolean);
    EXPECT_TRUE(decode("null").isNull());

    const Config c = Config::makeDictionary(
        {{"t", Config(Config::Token{7, "tok"})}, {"f", 0.1f}, {"list", Config::makeArray({true, Config(), "s"})}});
    const Json j = c;
    EXPECT_EQ(j["t"].dump(), R"([7,"tok"])");
    EXPECT_EQ(j["f"].dump(), "0.1");
    EXPECT_EQ(j["list"].dump(), R"([true,null,"s"])");
    EXPECT_EQ(j.get<Config>(), c);  // round trip
    // A float JSON cannot hold is an error, not a silent null.
    EXPECT_THROW(Config::makeArray({1, INFINITY}).encode(), std::domain_error);
    EXPECT_THROW(Config(std::nanf("")).encode(), std::domain_error);
}

TEST(Config, Descriptions) {
    EXPECT_EQ(Config("abc").description(), "\"abc\"");
    EXPECT_EQ(Config().description(), "null");
    EXPECT_EQ(Config(Config::Token{5, "x"}).description(), "(5, x)");
    EXPECT_EQ(Config(-4).description(), "-4");
    EXPECT_EQ(Config(1.0f).description(), "1.0");
    EXPECT_EQ(Config(0.1f).description(), "0.1");
    // Plain decimals from 0.0001 up to 2^24, exponential forms beyond, as floats print.
    const std::pair<float, const char*> floats[] = {
        {100000.0f, "100000.0"}, {16777216.0f, "16777216.0"}, {33554432.0f, "3.3554432e+07"}, {1e20f, "1e+20"},
        {0.0001f, "0.0001"}, {0.00001f, "1e-05"}, {1.25e-7f, "1.25e-07"}, {-0.0f, "-0.0"}, {-1.5f, "-1.5"},
        {123.456f, "123.456"}, {1e38f, "1e+38"},
    };
    for (const auto& [f, text] : floats) EXPECT_EQ(Config(f).description(), text) << text;
    EXPECT_EQ(Config(false).description(), "false");
    EXPECT_EQ(Config(Config::Dictionary{}).description(), "{[:]}");
    EXPECT_EQ(Config::makeDictionary({{"k", 1}}).description(), "{[k: 1]}");
    EXPECT_EQ(Config(Config::Array{}).description(), "[[]]");
    EXPECT_EQ(Config::makeArray({1, "a"}).description(), "[[1, \"a\"]]");
}

TEST(Config, EqualityIsAnEquivalenceThatAgreesWithHashing) {
    const std::hash<Config> h;
    // Equal across the numeric cases, and hashed alike.
    const std::pair<Config, Config> equal[] = {
        {Config(true), Config(1)}, {Config(false), Config(0)}, {Config(1), Config(1.0f)},
        {Config(0.0f), Config(-0.0f)}, {Config(2.5f), Config(2.5f)}, {Config("a"), Config("a")},
        {parse(R"({"x":[1,{"y":2}],"z":"w"})"), parse(R"({"z":"w","x":[1,{"y":2}]})")},
    };
    for (const auto& [a, b] : equal) {
        EXPECT_EQ(a, b) << a.description() << " vs " << b.description();
        EXPECT_EQ(h(a), h(b)) << a.description();
    }
    // No value is made equal to an unequal one through a third: false is not 5, "true" is not true.
    const std::pair<Config, Config> unequal[] = {
        {Config(false), Config(5)}, {Config(true), Config("true")}, {Config("t"), Config("true")},
        {Config(16777217), Config(16777216.0f)}, {Config("1"), Config(1)}, {Config(NFC_E_ACUTE), Config(NFD_E_ACUTE)},
        {Config(std::nanf("")), Config(std::nanf(""))}, {Config(), Config(0)},
        {Config(Config::Token{1, "a"}), Config::makeArray({"a", 1})},
    };
    for (const auto& [a, b] : unequal) EXPECT_NE(a, b) << a.description() << " vs " << b.description();

    std::unordered_set<Config> set{Config(1), Config(true), Config(1.0f), Config("1"), Config(NFC_E_ACUTE), Config(NFD_E_ACUTE)};
    EXPECT_EQ(set.size(), 4u);
}
