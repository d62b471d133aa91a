#include "DaroriCore/TokenizerWrapper.hpp"

#include <filesystem>
#include <fstream>

#include <stdlib.h>

#include <gtest/gtest.h>

#include "DaroriCore/External/Hub/HubError.hpp"
#include "DaroriCore/External/Tokenizers/AutoTokenizer.hpp"
#include "DaroriCore/External/Tokenizers/LlamaPreTrainedTokenizer.hpp"
#include "DaroriCore/External/Tokenizers/TokenizerError.hpp"
#include "TokenizerTestSupport.hpp"

using namespace darori;
using tokenizer_test::json;
namespace fs = std::filesystem;

namespace {

struct ScratchFolder {
    ScratchFolder() {
        std::string pattern = (fs::temp_directory_path() / "tokenizer-wrapper-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~ScratchFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

// A hub client that never reaches a real hub: its cache is in `folder` and its endpoint refuses.
HubApiWrapper localHub(const ScratchFolder& folder) { return HubApiWrapper(folder.path / "hub", std::string(), "http://127.0.0.1:9"); }

}  // namespace

TEST(AutoTokenizer, ClassFromConfiguration) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"tokenizer_class": "WhisperTokenizerFast"})", "PreTrainedTokenizer"},
        {R"({"tokenizer_class": "LlamaTokenizerFast"})", "LlamaPreTrainedTokenizer"},
        {R"({"tokenizer_class": "LlamaTokenizer"})", "LlamaPreTrainedTokenizer"},
        {R"({"tokenizer_class": "llamatokenizer"})", "PreTrainedTokenizer"},
        {R"({"tokenizer_class": 5})", "PreTrainedTokenizer"},
        {R"({})", "PreTrainedTokenizer"},
    };
    for (const auto& [config, name] : cases) EXPECT_EQ(AutoTokenizer::tokenizerClass(json(config)).name, name) << config;
}

TEST(AutoTokenizer, FromAModelFolder) {
    ScratchFolder temp;
    const TokenizerWrapper english = AutoTokenizerWrapper::fromModelFolder(tokenizer_test::englishFixture, localHub(temp));
    const std::vector<int> ids = english.encode("hello world");
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(english.convertIdToToken(ids[0]), "hello");
    EXPECT_EQ(english.decode(ids), "hello world");
    EXPECT_EQ(english.decode({50257, ids[0]}, true), "hello");
    EXPECT_EQ(english.convertTokensToIds({"hello", "<|endoftext|>", "no such piece"}),
              (std::vector<std::optional<int>>{ids[0], 50256, 50256}));
    EXPECT_EQ(english.convertIdsToTokens({50256, -1}), (std::vector<std::optional<std::string>>{"<|endoftext|>", std::nullopt}));
    EXPECT_EQ(english.eosToken(), "<|endoftext|>");
    EXPECT_EQ(english.tokenize("hello world"), (std::vector<std::string>{"hello", "\xC4\xA0world"}));

    // A Llama-class folder still gets the general class.
    const TokenizerWrapper llama = AutoTokenizerWrapper::fromModelFolder(tokenizer_test::testData + "/llama", localHub(temp));
    EXPECT_EQ(dynamic_cast<const LlamaPreTrainedTokenizer*>(&llama.impl()), nullptr);
    EXPECT_NE(dynamic_cast<const PreTrainedTokenizer*>(&llama.impl()), nullptr);
}

TEST(AutoTokenizer, FolderFailures) {
    ScratchFolder temp;
    // Only tokenizer.json and no way to name a class: no tokenizer configuration.
    fs::create_directories(temp.path / "model");
    fs::copy_file(tokenizer_test::testData + "/llama/tokenizer.json", temp.path / "model" / "tokenizer.json");
    try {
        AutoTokenizerWrapper::fromModelFolder(temp.path / "model", localHub(temp));
        ADD_FAILURE();
    } catch (const TokenizerError& e) {
        EXPECT_EQ(e.kind(), TokenizerError::Kind::missingConfig);
    }
    // The loader's own failures pass through unchanged.
    EXPECT_THROW(AutoTokenizerWrapper::fromModelFolder(temp.path / "missing", localHub(temp)), Hub::HubClientError);
    // A configuration that names an unknown class fails in strict mode only.
    std::ofstream(temp.path / "model" / "tokenizer_config.json") << R"({"tokenizer_class": "MysteryTokenizer"})";
    EXPECT_THROW(AutoTokenizerWrapper::fromModelFolder(temp.path / "model", localHub(temp)), TokenizerError);
    testing::internal::CaptureStdout();
    const auto lenient = AutoTokenizerWrapper::fromModelFolder(temp.path / "model", localHub(temp), false);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(lenient.tokenize("hello"), (std::vector<std::string>{"\xE2\x96\x81hello"}));
}

TEST(AutoTokenizer, FromAnUnreachableHub) {
    ScratchFolder temp;
    EXPECT_THROW(AutoTokenizerWrapper::fromPretrained("openai/whisper-tiny", localHub(temp)), Hub::HubClientError);
}
