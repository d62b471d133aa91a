// Whisper checkpoints in the model hub's layout, imported into model folders: the imported models
// against the NumPy reference reading the same checkpoint, and damaged checkpoints refused.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "MLRuntime/Error.hpp"
#include "MLRuntime/ModelFile.hpp"
#include "MLRuntime/Safetensors.hpp"
#include "MLRuntime/WhisperCheckpoint.hpp"
#include "MLRuntime/WhisperTestModels.hpp"
#include "WhisperReference.hpp"

using namespace mlruntime;
using namespace whisperref;

namespace {

std::string checkpointErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Error& error) {
        return error.what();
    }
    return "no error";
}

std::string fileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeCheckpointText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Rewrites the header of a safetensors file through `edit`, keeping its data bytes.
void editSafetensorsHeader(const fs::path& path, const std::function<void(nlohmann::json&)>& edit) {
    const std::string bytes = fileText(path);
    uint64_t length = 0;
    for (int i = 7; i >= 0; --i) length = (length << 8) | static_cast<uint8_t>(bytes[i]);
    nlohmann::json header = nlohmann::json::parse(bytes.substr(8, length));
    edit(header);
    const std::string text = header.dump();
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(static_cast<uint64_t>(text.size()) >> (8 * i));
    writeCheckpointText(path, out + text + bytes.substr(8 + length));
}

void editCheckpointJSON(const fs::path& path, const std::function<void(nlohmann::json&)>& edit) {
    nlohmann::json value = nlohmann::json::parse(fileText(path));
    edit(value);
    writeCheckpointText(path, value.dump());
}

std::vector<std::string> entriesOf(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

// The 384-wide tiny dimensions with two layers, in float32 and float16, in one file and in two
// shards: imported, loaded by the runtime, and mel, encoder and eight cached decoder steps equal to
// the reference computed from the checkpoint's own files.
TEST(CheckpointImport, ImportedModelsMatchTheReferenceOnTheCheckpoint) {
    struct Case {
        DataType type;
        int shards;
    };
    for (const Case c : {Case{DataType::Float32, 1}, Case{DataType::Float16, 2}}) {
        SCOPED_TRACE(std::string(traits(c.type).name) + ", shards " + std::to_string(c.shards));
        const fs::path work = makeTempFolder("checkpoint");
        testmodels::CheckpointOptions options;
        options.size = *testmodels::namedSize("tiny");
        options.size.layers = 2;
        options.seed = 5;
        options.weightType = c.type;
        options.shards = c.shards;
        testmodels::writeCheckpoint(work / "checkpoint", options);
        const fs::path target = work / "models" / "openai_whisper-test";
        fs::create_directories(target);
        writeCheckpointText(target / "stale.txt", "from an earlier import");
        // What an import killed halfway left behind.
        fs::create_directories(work / "models/.openai_whisper-test.import-x1Y2z3/model");

        whisper::importCheckpoint(work / "checkpoint", target);

        EXPECT_EQ(entriesOf(work / "models"), std::vector<std::string>{"openai_whisper-test"})
            << "neither this import's staging folder nor an earlier one's is left";
        EXPECT_FALSE(fs::exists(target / "stale.txt")) << "an earlier model folder is replaced whole";
        for (const char* file : {"config.json", "tokenizer.json", "tokenizer_config.json", "generation_config.json",
                                 "preprocessor_config.json"})
            EXPECT_EQ(fileText(target / file), fileText(work / "checkpoint" / file)) << file;
        const ModelFile decoder = ModelFile::open(target / "TextDecoder.mlmodelc");
        EXPECT_EQ(decoder.json()["alignment_heads"],
                  nlohmann::json::parse(fileText(work / "checkpoint/generation_config.json"))["alignment_heads"]);
        EXPECT_EQ(decoder.json()["hyperparameters"]["n_text_ctx"], 448);
        EXPECT_EQ(decoder.weights().tensors().at("blocks.1.cross_attn.key.weight").dataType, c.type)
            << "weights keep their type";

        // A tensor taken under a wrong name would be off by the order of the values themselves.
        expectReferenceResultsOnThisPath(target, "--checkpoint " + (work / "checkpoint").string());
        fs::remove_all(work);
    }
}

// Each damage is refused with a message naming the file and the tensor or key at fault; the model
// folder already in place stays as it was and nothing else is left in its parent folder.
TEST(CheckpointImport, DamagedCheckpointsAreRefusedAndLeaveNothingBehind) {
    const fs::path work = makeTempFolder("damaged");
    testmodels::CheckpointOptions options;
    options.size = *testmodels::namedSize("test");
    options.shards = 2;
    testmodels::writeCheckpoint(work / "pristine", options);
    const std::string firstShard = "model-00001-of-00002.safetensors";
    const std::string lastShard = "model-00002-of-00002.safetensors";

    struct Case {
        const char* name;
        std::function<void(const fs::path&)> damage;
        std::string error;
    };
    const Case cases[] = {
        {"truncated data",
         [&](const fs::path& c) { fs::resize_file(c / lastShard, fs::file_size(c / lastShard) - 100); },
         "model.decoder.layer_norm.bias\": data_offsets"},
        {"header offset past the end",
         [&](const fs::path& c) {
             editSafetensorsHeader(c / firstShard, [](nlohmann::json& h) {
                 h["model.encoder.conv1.bias"]["data_offsets"] = {1u << 30, (1u << 30) + 256};
             });
         },
         "tensor \"model.encoder.conv1.bias\": data_offsets [1073741824, 1073742080] lie past the end of the data"},
        {"header length past the end",
         [&](const fs::path& c) {
             std::string bytes = fileText(c / firstShard);
             bytes[5] = 1;
             writeCheckpointText(c / firstShard, bytes);
         },
         "truncated: header length"},
        {"missing tensor",
         [&](const fs::path& c) {
             editSafetensorsHeader(c / lastShard, [](nlohmann::json& h) { h.erase("model.decoder.layers.1.fc2.bias"); });
         },
         "missing tensor \"model.decoder.layers.1.fc2.bias\" that the index places here"},
        {"extra tensor",
         [&](const fs::path& c) {
             editSafetensorsHeader(c / lastShard, [](nlohmann::json& h) { h["model.decoder.layers.9.fc2.bias"] = h["model.decoder.layers.1.fc2.bias"]; });
             editCheckpointJSON(c / "model.safetensors.index.json",
                      [&](nlohmann::json& i) { i["weight_map"]["model.decoder.layers.9.fc2.bias"] = lastShard; });
         },
         "unexpected tensor \"model.decoder.layers.9.fc2.bias\""},
        {"shape against config.json",
         [&](const fs::path& c) { editCheckpointJSON(c / "config.json", [](nlohmann::json& j) { j["vocab_size"] = 513; }); },
         "tensor \"model.decoder.embed_tokens.weight\" has shape [512, 64], config.json needs [513, 64]"},
        {"type against config.json",
         [&](const fs::path& c) { editCheckpointJSON(c / "config.json", [](nlohmann::json& j) { j["torch_dtype"] = "float16"; }); },
         "is float32 but config.json's torch_dtype is float16"},
        {"shard outside the folder",
         [&](const fs::path& c) {
             editCheckpointJSON(c / "model.safetensors.index.json",
                      [](nlohmann::json& i) { i["weight_map"]["model.encoder.conv1.bias"] = "../model.safetensors"; });
         },
         "shard \"../model.safetensors\" is not a file name in the checkpoint folder"},
        {"no tokenizer", [](const fs::path& c) { fs::remove(c / "tokenizer.json"); }, "no tokenizer.json in the checkpoint"},
        {"bad alignment head",
         [](const fs::path& c) {
             editCheckpointJSON(c / "generation_config.json", [](nlohmann::json& g) { g["alignment_heads"] = {{2, 0}}; });
         },
         "generation_config.json: alignment head [2, 0] lies outside the decoder"},
        {"another model",
         [](const fs::path& c) { editCheckpointJSON(c / "config.json", [](nlohmann::json& j) { j["encoder_ffn_dim"] = 100; }); },
         "config.json: \"encoder_ffn_dim\" is 100: this runtime needs 4 x d_model"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path checkpoint = work / "checkpoint";
        fs::remove_all(checkpoint);
        fs::copy(work / "pristine", checkpoint, fs::copy_options::recursive);
        c.damage(checkpoint);
        const fs::path target = work / "models" / "openai_whisper-test";
        fs::remove_all(work / "models");
        fs::create_directories(target);
        writeCheckpointText(target / "config.json", "the model already in place");

        const std::string error = checkpointErrorOf([&] { whisper::importCheckpoint(checkpoint, target); });
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(entriesOf(work / "models"), std::vector<std::string>{"openai_whisper-test"});
        EXPECT_EQ(entriesOf(target), std::vector<std::string>{"config.json"});
        EXPECT_EQ(fileText(target / "config.json"), "the model already in place");
    }
    fs::remove_all(work);
}

TEST(CheckpointImport, SafetensorsHeadersAreCheckedBeforeAnythingIsRead) {
    auto file = [](const std::string& header, size_t dataBytes) {
        std::string bytes(8, '\0');
        for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>(static_cast<uint64_t>(header.size()) >> (8 * i));
        return bytes + header + std::string(dataBytes, '\0');
    };
    auto parse = [](const std::string& bytes) {
        return checkpointErrorOf(
            [&] { SafetensorsFile::parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), "f.safetensors"); });
    };
    const std::string good = R"({"__metadata__":{"format":"pt"},"a":{"dtype":"F16","shape":[2,3],"data_offsets":[0,12]}})";
    const auto tensors = SafetensorsFile::parse(reinterpret_cast<const uint8_t*>(file(good, 12).data()), file(good, 12).size(), "f");
    ASSERT_EQ(tensors.size(), 1u);
    EXPECT_EQ(tensors.at("a").dataType, DataType::Float16);
    EXPECT_EQ(tensors.at("a").shape, (std::vector<int64_t>{2, 3}));

    struct Case {
        std::string bytes, error;
    };
    const Case cases[] = {
        {std::string("\x05\x00\x00", 3), "f.safetensors: truncated: 3 bytes, too short for the header length"},
        {std::string("\xff\xff\xff\xff\xff\xff\xff\xff", 8) + "{}", "exceeds the file size"},
        {file("[1]", 0), "malformed header: not a JSON object"},
        {file("{\"a\":", 0), "malformed header"},
        {file(R"({"a":{"dtype":"BF16","shape":[1],"data_offsets":[0,2]}})", 2), "unsupported dtype \"BF16\""},
        {file(R"({"a":{"dtype":"F32","shape":[2],"data_offsets":[8,0]}})", 8), "data_offsets decrease"},
        {file(R"({"a":{"dtype":"F32","shape":[3],"data_offsets":[0,8]}})", 8), "holds 8 bytes but shape [3] needs 12"},
        {file(R"({"a":{"dtype":"F32","shape":[-1],"data_offsets":[0,8]}})", 8), "shape entries must be non-negative"},
        {file(R"({"a":{"dtype":"F32","shape":[4294967296,4294967296,4294967296],"data_offsets":[0,8]}})", 8), "shape too large"},
        {file(R"({"a":{"dtype":"F32","shape":[1]}})", 4), "data_offsets must be two non-negative integers"},
    };
    for (const Case& c : cases) {
        const std::string error = parse(c.bytes);
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}
