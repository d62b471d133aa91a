#include "DaroriCore/External/Hub/LanguageModelConfigurationFromHub.hpp"

#include <gtest/gtest.h>

#include "TempFolder.hpp"

using namespace darori;
using hubtests::TempFolder;
using hubtests::writeFile;

namespace {

const std::string BOM = "\xEF\xBB\xBF";
const std::string TOKENIZER = R"({"model":{"type":"BPE","vocab":{"a":0}}})";

HubApiWrapper localWrapper(const TempFolder& folder) { return HubApiWrapper(folder / "hub", std::string(), "http://127.0.0.1:9"); }

template <class Body>
Hub::HubClientError::Kind hubErrorKind(Body body) {
    try {
        body();
    } catch (const Hub::HubClientError& e) {
        return e.kind();
    }
    ADD_FAILURE() << "no HubClientError";
    return Hub::HubClientError::Kind::unexpectedError;
}

}  // namespace

TEST(LanguageModelConfiguration, LoadsEveryFileOfAFolder) {
    TempFolder folder;
    writeFile(folder / "config.json", R"({"model_type":"llama","vocab_size":32})");
    writeFile(folder / "tokenizer.json", TOKENIZER);
    writeFile(folder / "tokenizer_config.json", R"({"bos_token":")" + BOM + R"(<s>","chat_template":"old"})");
    writeFile(folder / "chat_template.jinja", "{% for m in messages %}{{ m }}{% endfor %}");
    writeFile(folder / "chat_template.json", R"({"chat_template":"from json"})");

    const LanguageModelConfigurationFromHub config(folder.path(), localWrapper(folder));
    EXPECT_EQ(config.modelType(), "llama");
    EXPECT_EQ(config.tokenizerData()["model"]["type"].string(), "BPE");
    const auto tokenizerConfig = config.tokenizerConfig();
    ASSERT_TRUE(tokenizerConfig);
    // The jinja file wins over the JSON form and replaces the settings' own template.
    EXPECT_EQ((*tokenizerConfig)["chat_template"].string(), "{% for m in messages %}{{ m }}{% endfor %}");
    // A byte-order mark at the start of a string survives.
    EXPECT_EQ((*tokenizerConfig)["bosToken"].string(), BOM + "<s>");
    // No tokenizer class in the settings: one is derived from the model type.
    EXPECT_EQ((*tokenizerConfig)["tokenizer_class"].string(), "LlamaTokenizer");
    EXPECT_EQ(config.configurations().tokenizerConfig->member("tokenizer_class"), Config());  // the stored settings stay as read
}

TEST(LanguageModelConfiguration, TokenizerClassAndTemplateRules) {
    struct Case {
        const char* name;
        std::optional<std::string> modelConfig, tokenizerConfig, jinja, templateJSON;
        std::optional<std::string> expectedClass, expectedTemplate;
        bool expectTokenizerConfig;
    };
    const Case cases[] = {
        {"only tokenizer.json", {}, {}, {}, {}, {}, {}, false},
        {"jinja alone makes the settings", {}, {}, "T", {}, {}, "T", true},
        {"json template", {}, R"({"a":1})", {}, R"({"chat_template":"J"})", {}, "J", true},
        {"json template that is a list", {}, R"({"a":1})", {}, R"({"chat_template":["x"]})", {}, {}, true},
        {"json template that is no JSON", {}, R"({"a":1})", {}, "{oops", {}, {}, true},
        {"class derived from bert", R"({"model_type":"bert"})", R"({"a":1})", {}, {}, "BertTokenizer", {}, true},
        {"class derived from gpt2", R"({"model_type":"gpt2"})", R"({"a":1})", {}, {}, "Gpt2Tokenizer", {}, true},
        {"a named class wins", R"({"model_type":"bert"})", R"({"tokenizer_class":"MyTokenizer"})", {}, {}, "MyTokenizer", {}, true},
        {"model type not a text", R"({"model_type":3})", R"({"a":1})", {}, {}, {}, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        writeFile(folder / "tokenizer.json", TOKENIZER);
        if (c.modelConfig) writeFile(folder / "config.json", *c.modelConfig);
        if (c.tokenizerConfig) writeFile(folder / "tokenizer_config.json", *c.tokenizerConfig);
        if (c.jinja) writeFile(folder / "chat_template.jinja", *c.jinja);
        if (c.templateJSON) writeFile(folder / "chat_template.json", *c.templateJSON);
        const LanguageModelConfigurationFromHub config(folder.path(), localWrapper(folder));
        const auto settings = config.tokenizerConfig();
        ASSERT_EQ(settings.has_value(), c.expectTokenizerConfig);
        if (!settings) {
            EXPECT_EQ(config.modelType(), std::nullopt);
            continue;
        }
        EXPECT_EQ((*settings)["tokenizer_class"].string(), c.expectedClass);
        EXPECT_EQ((*settings)["chat_template"].string(), c.expectedTemplate);
    }
}

TEST(LanguageModelConfiguration, Errors) {
    TempFolder folder;
    // No tokenizer.json: every getter fails with the missing-configuration error.
    writeFile(folder / "config.json", R"({"model_type":"llama"})");
    const LanguageModelConfigurationFromHub missing(folder.path(), localWrapper(folder));
    try {
        missing.tokenizerData();
        FAIL() << "no error";
    } catch (const Hub::HubClientError& e) {
        EXPECT_EQ(e.kind(), Hub::HubClientError::Kind::configurationMissing);
        EXPECT_STREQ(e.what(), "Required configuration file missing: tokenizer.json");
    }
    EXPECT_EQ(hubErrorKind([&] { missing.modelType(); }), Hub::HubClientError::Kind::configurationMissing);
    EXPECT_EQ(hubErrorKind([&] { missing.tokenizerConfig(); }), Hub::HubClientError::Kind::configurationMissing);

    // Not JSON, and a top level that is no object.
    writeFile(folder / "tokenizer.json", "{\"model\":");
    const LanguageModelConfigurationFromHub broken(folder.path(), localWrapper(folder));
    try {
        broken.tokenizerData();
        FAIL() << "no error";
    } catch (const Hub::HubClientError& e) {
        EXPECT_EQ(e.kind(), Hub::HubClientError::Kind::jsonSerialization);
        EXPECT_EQ(std::string(e.what()).rfind("JSON Serialization failed for " + (folder / "tokenizer.json").string(), 0), 0u) << e.what();
        EXPECT_EQ(std::string(e.what()).find("TOKEN"), std::string::npos) << "a local parse error is no token problem";
    }
    writeFile(folder / "tokenizer.json", "[1,2]");
    EXPECT_EQ(hubErrorKind([&] { LanguageModelConfigurationFromHub(folder.path(), localWrapper(folder)).tokenizerData(); }),
              Hub::HubClientError::Kind::parse);

    // A configuration file that exists but cannot be read (a folder in its place).
    writeFile(folder / "tokenizer.json", TOKENIZER);
    std::filesystem::remove(folder / "config.json");
    std::filesystem::create_directories(folder / "config.json");
    EXPECT_EQ(hubErrorKind([&] { LanguageModelConfigurationFromHub(folder.path(), localWrapper(folder)).tokenizerData(); }),
              Hub::HubClientError::Kind::fileSystemError);
}
