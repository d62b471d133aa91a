// Helpers of the inference and decoding tests: the English tokenizer fixture, a small multilingual
// vocabulary, half-precision logits and test model folders.
#pragma once

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "DaroriCore/HubApiWrapper.hpp"
#include "DaroriCore/TokenizerWrapper.hpp"
#include "MLRuntime/Half.hpp"
#include "MLRuntime/MultiArray.hpp"
#include "MLRuntime/WhisperTestModels.hpp"
#include "TestSupport.hpp"
#include "ZadezarIro/Core/JSONCoding.hpp"
#include "ZadezarIro/Core/WhisperTokenizer.hpp"

namespace zadezariro::testsupport {

inline const std::filesystem::path ENGLISH_TOKENIZER = TALKWEFT_SOURCE_DIR "/../shared/fixtures/tokenizer-en";

inline darori::HubApiWrapper& testHub() {
    static TempDir base;
    static darori::HubApiWrapper hub{base.path};
    return hub;
}

// The real English-only vocabulary (51,864 ids).
inline std::shared_ptr<const WhisperTokenizer> englishTokenizer() {
    static const auto tokenizer = std::make_shared<const WhisperTokenizerWrapper>(
        darori::AutoTokenizerWrapper::fromModelFolder(ENGLISH_TOKENIZER, testHub(), true), ENGLISH_TOKENIZER);
    return tokenizer;
}

// A byte-level vocabulary of "a" to "c" and the blank with the multilingual layout's special
// tokens, among them the language tokens "<|en|>" (50259) and "<|de|>" (50261), and "<|xx|>" (50300),
// the text of a language token of no supported language.
inline std::shared_ptr<const WhisperTokenizer> multilingualTokenizer() {
    static TempDir folder;
    static const auto tokenizer = [] {
        Json vocab = {{"a", 0}, {"b", 1}, {"c", 2}, {"\u0120", 220}};
        const std::vector<std::pair<std::string, int>> added = {
            {"<|endoftext|>", 50257}, {"<|startoftranscript|>", 50258}, {"<|en|>", 50259}, {"<|de|>", 50261},
            {"<|xx|>", 50300}, {"<|translate|>", 50358}, {"<|transcribe|>", 50359}, {"<|startofprev|>", 50361}, {"<|nocaptions|>", 50362},
            {"<|notimestamps|>", 50363}, {"<|0.00|>", 50364}};
        Json addedTokens = Json::array();
        for (const auto& [content, id] : added) {
            vocab[content] = id;
            addedTokens.push_back({{"id", id}, {"content", content}, {"special", true}, {"single_word", false},
                                   {"lstrip", false}, {"rstrip", false}, {"normalized", false}});
        }
        const Json file = {
            {"added_tokens", addedTokens},
            {"pre_tokenizer", {{"type", "ByteLevel"}, {"add_prefix_space", false}, {"trim_offsets", true}, {"use_regex", true}}},
            {"decoder", {{"type", "ByteLevel"}, {"add_prefix_space", true}, {"trim_offsets", true}, {"use_regex", true}}},
            {"model", {{"type", "BPE"}, {"vocab", vocab}, {"merges", Json::array()}}},
        };
        std::ofstream(folder.path / "tokenizer.json") << file.dump();
        std::ofstream(folder.path / "tokenizer_config.json") << R"({"tokenizer_class": "WhisperTokenizer"})";
        return std::make_shared<const WhisperTokenizerWrapper>(
            darori::AutoTokenizerWrapper::fromModelFolder(folder.path, testHub(), true), folder.path);
    }();
    return tokenizer;
}

// A [1, 1, V] Float16 logits array.
inline mlruntime::MultiArray halfLogits(const std::vector<float>& values) {
    mlruntime::MultiArray logits({1, 1, static_cast<int64_t>(values.size())}, mlruntime::DataType::Float16);
    for (size_t i = 0; i < values.size(); ++i) logits.typedData<mlruntime::Half>()[i] = mlruntime::Half(values[i]);
    return logits;
}

inline std::vector<float> floats(const mlruntime::MultiArray& array) { return array.toFloats(); }

inline bool isMinusInfinity(float value) { return std::isinf(value) && value < 0; }

// The size of a small test decoder with the given vocabulary (width 64, 2 layers).
inline mlruntime::testmodels::ModelSize smallSize(int64_t vocab) {
    auto size = *mlruntime::testmodels::namedSize("test");
    size.vocab = vocab;
    return size;
}

}  // namespace zadezariro::testsupport
