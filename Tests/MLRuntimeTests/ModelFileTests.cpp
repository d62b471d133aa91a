// Model folders checked at the door: every damaged file is an Error naming the file, never a crash.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "MLRuntime/Error.hpp"
#include "MLRuntime/Model.hpp"
#include "MLRuntime/WeightsFile.hpp"
#include "MLRuntime/WhisperTestModels.hpp"

using namespace mlruntime;
namespace fs = std::filesystem;

namespace {

class ModelFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "mlruntime-file-XXXXXX").string();
        root_ = fs::path(mkdtemp(pattern.data()));
        // A small encoder: every check of the reader applies to it.
        whisper::EncoderConfig config;
        config.width = 8;
        config.heads = 2;
        config.layers = 1;
        config.mels = 4;
        folder_ = root_ / "AudioEncoder.mlmodelc";
        testmodels::writeEncoderModel(folder_, config, 1, DataType::Float32);
    }
    void TearDown() override { fs::remove_all(root_); }

    std::string readText(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void writeText(const fs::path& path, const std::string& text) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    // Rewrites weights.bin with its header changed by `edit` (data section kept).
    void editHeader(const std::function<void(nlohmann::json&)>& edit) {
        std::string bytes = readText(folder_ / "weights.bin");
        uint64_t length = 0;
        for (int i = 7; i >= 0; --i) length = (length << 8) | static_cast<uint8_t>(bytes[i]);
        size_t dataStart = (8 + length + 63) / 64 * 64;
        nlohmann::json header = nlohmann::json::parse(bytes.substr(8, length));
        edit(header);
        std::string text = header.dump();
        size_t newStart = (8 + text.size() + 63) / 64 * 64;
        std::string prefix(8, '\0');
        for (int i = 0; i < 8; ++i) prefix[i] = static_cast<char>((text.size() >> (8 * i)) & 0xff);
        text.resize(newStart - 8, ' ');  // JSON allows trailing blanks
        writeText(folder_ / "weights.bin", prefix + text + bytes.substr(dataStart));
    }
    void editJSON(const std::function<void(nlohmann::json&)>& edit) {
        nlohmann::json json = nlohmann::json::parse(readText(folder_ / "model.json"));
        edit(json);
        writeText(folder_ / "model.json", json.dump());
    }
    // The message of the load error; fails the test when loading succeeds.
    std::string loadError() {
        try {
            Model::load(folder_, ComputeUnits::cpuOnly);
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), Error::Code::invalidModel);
            return error.what();
        }
        ADD_FAILURE() << "loaded a damaged model";
        return "";
    }

    // Replaces the model under test with a small decoder folder (scripted: a token script instead
    // of weights).
    void useDecoder(bool scripted) {
        whisper::DecoderConfig config;
        config.vocab = 16;
        config.textContext = 8;
        config.width = 8;
        config.heads = 2;
        config.layers = 2;
        folder_ = root_ / (scripted ? "Scripted.mlmodelc" : "TextDecoder.mlmodelc");
        if (scripted)
            testmodels::writeScriptedDecoderModel(folder_, config, {3, 4}, 15);
        else
            testmodels::writeDecoderModel(folder_, config, 2, DataType::Float16);
    }
    // Rewrites model.json with the value at `place` (set there by `edit` as the string "@") replaced
    // by the raw JSON text `value`.
    void placeValue(const std::function<void(nlohmann::json&)>& edit, const std::string& value) {
        nlohmann::json json = nlohmann::json::parse(readText(folder_ / "model.json"));
        edit(json);
        std::string text = json.dump();
        size_t at = text.find("\"@\"");
        ASSERT_NE(at, std::string::npos);
        writeText(folder_ / "model.json", text.replace(at, 3, value));
    }

    fs::path root_, folder_;
};

TEST_F(ModelFileTest, AWellFormedFolderLoads) {
    auto model = Model::load(folder_, ComputeUnits::all);
    EXPECT_EQ(model->computeUnits(), ComputeUnits::all);
    EXPECT_NE(model->description().output("encoder_output_embeds"), nullptr);
}

TEST_F(ModelFileTest, DamagedFilesAreErrorsNamingTheFile) {
    // Which file the message must start with: the folder itself, or a file inside it.
    const std::string weights = "weights.bin", json = "model.json", folder = "";
    struct Case {
        const char* what;
        std::function<void()> damage;
        std::string file;  // relative to the model folder
        std::string detail;
    };
    std::vector<Case> cases = {
        {"missing folder", [&] { fs::remove_all(folder_); }, folder, "not found"},
        {"missing model.json", [&] { fs::remove(folder_ / "model.json"); }, json, "cannot read"},
        {"missing weights.bin", [&] { fs::remove(folder_ / "weights.bin"); }, weights, "cannot open"},
        {"empty weights.bin", [&] { writeText(folder_ / "weights.bin", ""); }, weights, "truncated"},
        {"truncated weights.bin",
         [&] { fs::resize_file(folder_ / "weights.bin", fs::file_size(folder_ / "weights.bin") - 100); }, weights,
         "past the end"},
        {"header length past the end",
         [&] {
             std::string bytes = readText(folder_ / "weights.bin");
             bytes[5] = '\x7f';
             writeText(folder_ / "weights.bin", bytes);
         },
         weights, "header length"},
        {"malformed header", [&] { editHeader([](nlohmann::json& h) { h = "not an object"; }); }, weights, "not a JSON object"},
        {"offsets past the end",
         [&] { editHeader([](nlohmann::json& h) { h["conv1.bias"]["offsets"] = {1u << 30, (1u << 30) + 32}; }); }, weights,
         "past the end"},
        {"misaligned offsets", [&] { editHeader([](nlohmann::json& h) { h["conv1.bias"]["offsets"][0] = 4; }); }, weights,
         "aligned"},
        {"byte count against shape",
         [&] { editHeader([](nlohmann::json& h) { h["conv1.bias"]["shape"] = {9}; }); }, weights, "needs"},
        {"unknown dtype", [&] { editHeader([](nlohmann::json& h) { h["conv1.bias"]["dtype"] = "int4"; }); }, weights,
         "unsupported dtype"},
        {"shape disagreeing with model.json",
         [&] { editJSON([](nlohmann::json& j) { j["hyperparameters"]["n_state"] = 16; j["outputs"][0]["shape"][1] = 16; }); },
         weights, "has shape"},
        {"missing tensor", [&] { editHeader([](nlohmann::json& h) { h.erase("ln_post.bias"); }); }, weights,
         "missing tensor \"ln_post.bias\""},
        {"declared output disagreeing",
         [&] { editJSON([](nlohmann::json& j) { j["outputs"][0]["shape"][3] = 1499; }); }, json, "disagrees"},
        {"malformed feature flag", [&] { editJSON([](nlohmann::json& j) { j["inputs"][0]["optional"] = "yes"; }); }, json,
         "optional"},
        {"unknown kind", [&] { editJSON([](nlohmann::json& j) { j["kind"] = "whisper-vocoder"; }); }, json,
         "unknown model kind \"whisper-vocoder\""},
        {"other format version", [&] { editJSON([](nlohmann::json& j) { j["format_version"] = 2; }); }, json,
         "format_version"},
        {"malformed model.json", [&] { writeText(folder_ / "model.json", "{\"kind\": "); }, json, "malformed JSON"},
        {"bad hyperparameter", [&] { editJSON([](nlohmann::json& j) { j["hyperparameters"]["n_head"] = 0; }); }, json,
         "n_head"},
        {"width not divisible by heads",
         [&] { editJSON([](nlohmann::json& j) { j["hyperparameters"]["n_head"] = 3; }); }, json, "multiple of n_head"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        c.damage();
        std::string message = loadError();
        std::string path = c.file.empty() ? folder_.string() : (folder_ / c.file).string();
        EXPECT_EQ(message.rfind(path + ":", 0), 0u) << message;
        EXPECT_NE(message.find(c.detail), std::string::npos) << message;
    }
}

TEST_F(ModelFileTest, HyperparametersAreCheckedAgainstLimitsAndTheWeightsFirst) {
    // Each case is refused with a message naming the file at fault, before the loader builds or
    // allocates anything from the numbers (the first case once allocated without bound).
    const std::string weights = "weights.bin", json = "model.json";
    struct Case {
        const char* what;
        bool scripted;
        nlohmann::json hyperparameters;  // merged into model.json's
        std::string file;
        std::string detail;
    };
    const int64_t huge = int64_t{1} << 24;
    const std::vector<Case> cases = {
        {"huge width, heads and layers", false, {{"n_state", huge}, {"n_head", huge}, {"n_layer", huge}}, json,
         "\"n_state\" is 16777216, more than the 8192"},
        {"huge vocabulary", false, {{"n_vocab", huge * 64}}, json, "\"n_vocab\" is 1073741824, more than"},
        {"huge text context", false, {{"n_text_ctx", huge}}, json, "\"n_text_ctx\" is 16777216, more than"},
        {"too many heads", false, {{"n_head", 512}, {"n_state", 512}}, json, "\"n_head\" is 512, more than the 256"},
        {"other audio context", false, {{"n_audio_ctx", 3000}}, json, "n_audio_ctx must be 1500"},
        {"fewer layers than the weights", false, {{"n_layer", 1}}, json,
         "n_layer is 1 but weights.bin holds tensor \"blocks.1."},
        {"more layers than the weights", false, {{"n_layer", 3}}, weights, "missing tensor \"blocks.2."},
        {"vocabulary against the embedding", false, {{"n_vocab", 17}}, weights, "\"token_embedding\" has shape [16, 8]"},
        {"width against the weights", false, {{"n_state", 16}}, weights, "has shape"},
        {"text context against the positions", false, {{"n_text_ctx", 9}}, weights,
         "\"positional_embedding\" has shape [8, 8]"},
        {"scripted: huge layers", true, {{"n_layer", huge}}, json, "\"n_layer\" is 16777216, more than the 128"},
        {"scripted: caches too large", true, {{"n_layer", 128}, {"n_state", 8192}, {"n_head", 1}, {"n_text_ctx", 8192}},
         json, "cache elements"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        useDecoder(c.scripted);
        editJSON([&](nlohmann::json& j) { j["hyperparameters"].update(c.hyperparameters); });
        std::string message = loadError();
        EXPECT_EQ(message.rfind((folder_ / c.file).string() + ":", 0), 0u) << message;
        EXPECT_NE(message.find(c.detail), std::string::npos) << message;
    }
    // The encoder's and the mel's numbers are held against their weights too.
    TearDown();
    SetUp();
    editJSON([](nlohmann::json& j) { j["hyperparameters"]["n_mels"] = 5; });
    EXPECT_NE(loadError().find("\"conv1.weight\" has shape [8, 4, 3]"), std::string::npos);
    fs::path mel = root_ / "Mel.mlmodelc";
    testmodels::writeMelModel(mel, whisper::MelConfig{80});
    folder_ = mel;
    editJSON([](nlohmann::json& j) { j["hyperparameters"]["n_mels"] = 128; });
    EXPECT_NE(loadError().find("\"mel_filters\" has shape [80, 201]"), std::string::npos);
}

TEST_F(ModelFileTest, ErrorsQuoteOnlyShortFlatExcerptsOfDamagedValues) {
    // Values nested far deeper than a recursive printer's stack allows, and megabytes of text:
    // the message stays short and the error path never recurses into them.
    const std::string deep = std::string(300000, '[') + std::string(300000, ']');
    const std::string longText = "\"" + std::string(1 << 20, 'x') + "\"";
    struct Case {
        const char* what;
        bool decoder;  // a scripted decoder instead of the encoder
        std::function<void(nlohmann::json&)> place;
        std::string value;
        std::string detail;
    };
    const std::vector<Case> cases = {
        {"hyperparameter", false, [](nlohmann::json& j) { j["hyperparameters"]["n_state"] = "@"; }, deep,
         "\"n_state\" must be a positive integer, not [[...]]"},
        {"feature shape", false, [](nlohmann::json& j) { j["inputs"][0]["shape"] = "@"; }, deep, "bad shape [[...]]"},
        {"feature flag", false, [](nlohmann::json& j) { j["inputs"][0]["optional"] = "@"; }, deep,
         "\"optional\" must be true or false in {"},
        {"feature name", false, [](nlohmann::json& j) { j["outputs"][0]["name"] = "@"; }, deep,
         "malformed feature in outputs: {\"data_type\": \"float16\", \"name\": [...]"},
        {"data type", false, [](nlohmann::json& j) { j["inputs"][0]["data_type"] = "@"; }, longText,
         "unknown data_type \"xxx"},
        {"kind", false, [](nlohmann::json& j) { j["kind"] = "@"; }, longText, "unknown model kind \"xxx"},
        {"script token", true, [](nlohmann::json& j) { j["script"][1] = "@"; }, deep,
         "script token [[...]] lies outside the vocabulary"},
        {"end token", true, [](nlohmann::json& j) { j["end_token"] = "@"; }, longText,
         "script token \"xxx"},
        {"alignment head", true, [](nlohmann::json& j) { j["alignment_heads"] = {"@"}; }, deep,
         "alignment_heads must be a list of [layer, head] pairs, not [[...]]"},
        {"unterminated long string", false, [](nlohmann::json& j) { j["kind"] = "@"; },
         longText.substr(0, longText.size() - 1), "malformed JSON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        if (c.decoder) useDecoder(true);
        placeValue(c.place, c.value);
        std::string message = loadError();
        EXPECT_EQ(message.rfind((folder_ / "model.json").string() + ":", 0), 0u) << message.substr(0, 300);
        EXPECT_NE(message.find(c.detail), std::string::npos) << message.substr(0, 300);
        EXPECT_LT(message.size(), folder_.string().size() + 400) << message.substr(0, 300);
    }
    // A description larger than any real one is refused unread.
    writeText(folder_ / "model.json", std::string(17 << 20, ' ') + "{}");
    EXPECT_NE(loadError().find("larger than 16777216 bytes"), std::string::npos);
}

TEST_F(ModelFileTest, WeightsCutAtAnyLengthLoadOrFailCleanly) {
    const fs::path weights = folder_ / "weights.bin";
    const std::string original = readText(weights);
    size_t failures = 0, tried = 0;
    for (size_t length = 0; length < original.size(); length += (length < 3000 ? 13 : 997)) {
        writeText(weights, original.substr(0, length));
        ++tried;
        try {
            Model::load(folder_, ComputeUnits::cpuOnly);
        } catch (const Error& error) {
            ++failures;
            EXPECT_EQ(std::string(error.what()).rfind(weights.string() + ":", 0), 0u) << error.what();
        }
    }
    EXPECT_EQ(failures, tried);  // the last tensor ends where the file ends
}

TEST_F(ModelFileTest, WeightsRoundTripInBothPrecisionsWithAlignedData) {
    fs::path path = root_ / "weights.bin";
    writeWeightsFile(path, {{"a", DataType::Float32, {2, 3}, {1, 2, 3, 4, 5, 6.5f}},
                            {"b", DataType::Float16, {3}, {0.5f, -2, 65504}},
                            {"empty", DataType::Float32, {0}, {}}});
    auto file = WeightsFile::open(path);
    EXPECT_EQ(file->floats("a", {2, 3}), (std::vector<float>{1, 2, 3, 4, 5, 6.5f}));
    EXPECT_EQ(file->floats("b", {3}), (std::vector<float>{0.5f, -2, 65504}));
    EXPECT_EQ(file->halves("a", {2, 3})[5].toFloat(), 6.5f);
    for (const auto& [name, tensor] : file->tensors())
        EXPECT_EQ(reinterpret_cast<uintptr_t>(file->bytes(tensor)) % 64, 0u) << name;
    EXPECT_THROW(file->floats("a", {3, 2}), Error);
    EXPECT_THROW(writeWeightsFile(path, {{"bad", DataType::Float32, {2}, {1}}}), Error);
}

}  // namespace
