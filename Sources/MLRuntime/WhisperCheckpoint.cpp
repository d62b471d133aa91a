#include "MLRuntime/WhisperCheckpoint.hpp"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "MLRuntime/Error.hpp"
#include "MLRuntime/TensorHeader.hpp"
#include "MLRuntime/JsonExcerpt.hpp"
#include "MLRuntime/ModelFile.hpp"
#include "MLRuntime/Safetensors.hpp"
#include "MLRuntime/WeightsFile.hpp"
#include "MLRuntime/WhisperTestModels.hpp"

namespace mlruntime::whisper {

namespace fs = std::filesystem;

namespace {

constexpr char SINGLE_FILE[] = "model.safetensors";
constexpr char SHARD_INDEX[] = "model.safetensors.index.json";
// Configuration files above this size are refused unread (real ones hold a few kilobytes; an
// index of a sharded checkpoint some tens).
constexpr size_t MAX_CHECKPOINT_JSON_BYTES = 16 << 20;

[[noreturn]] void refuseCheckpoint(const std::string& where, const std::string& problem) {
    throw Error(Error::Code::invalidModel, where + ": " + problem);
}

nlohmann::json parseCheckpointJSON(std::string_view text, const std::string& where) {
    try {
        nlohmann::json value = nlohmann::json::parse(text);
        if (!value.is_object()) refuseCheckpoint(where, "not a JSON object");
        return value;
    } catch (const nlohmann::json::exception& error) {
        refuseCheckpoint(where, "malformed JSON: " + textExcerpt(error.what(), 200));
    }
}

int64_t configDimension(const nlohmann::json& config, const char* key, int64_t limit) {
    auto found = config.find(key);
    if (found == config.end()) refuseCheckpoint("config.json", std::string("missing \"") + key + "\"");
    if (!found->is_number_integer() || found->get<int64_t>() <= 0)
        refuseCheckpoint("config.json", std::string("\"") + key + "\" must be a positive integer, not " + jsonExcerpt(*found));
    if (found->get<int64_t>() > limit)
        refuseCheckpoint("config.json", std::string("\"") + key + "\" is " + std::to_string(found->get<int64_t>()) +
                                            ", more than the " + std::to_string(limit) + " this runtime accepts");
    return found->get<int64_t>();
}

// A key that, when present, must hold `expected`.
void requireValue(const nlohmann::json& config, const char* key, const nlohmann::json& expected, const std::string& why) {
    auto found = config.find(key);
    if (found != config.end() && *found != expected)
        refuseCheckpoint("config.json", std::string("\"") + key + "\" is " + jsonExcerpt(*found) + ": " + why);
}

std::string readCheckpointText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) refuseCheckpoint(path.string(), "cannot read file");
    std::string text(MAX_CHECKPOINT_JSON_BYTES + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) refuseCheckpoint(path.string(), "cannot read file");
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > MAX_CHECKPOINT_JSON_BYTES)
        refuseCheckpoint(path.string(), "larger than " + std::to_string(MAX_CHECKPOINT_JSON_BYTES) + " bytes");
    return text;
}

bool isRegularFile(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

// One tensor of the checkpoint, found in one of its files.
struct FoundTensor {
    const SafetensorsFile* file = nullptr;
    const SafetensorsFile::Tensor* tensor = nullptr;
    std::string storedName;  // the name as the file has it ("model." prefix included)
    bool used = false;
};

// Every tensor of the checkpoint's weight files by its name without "model.".
class CheckpointTensors {
public:
    explicit CheckpointTensors(const fs::path& folder) {
        if (isRegularFile(folder / SINGLE_FILE)) {
            addFile(folder / SINGLE_FILE, nullptr);
        } else if (isRegularFile(folder / SHARD_INDEX)) {
            const auto index = parseShardIndex(readCheckpointText(folder / SHARD_INDEX));
            if (index.empty()) refuseCheckpoint((folder / SHARD_INDEX).string(), "the weight map lists no tensors");
            std::set<std::string> shards;
            for (const auto& [tensor, shard] : index) shards.insert(shard);
            for (const auto& shard : shards) addFile(folder / shard, &index);
            for (const auto& [tensor, shard] : index)
                if (!storedNames_.count(tensor))
                    refuseCheckpoint((folder / shard).string(), "missing tensor \"" + tensor + "\" that the index places here");
        } else {
            refuseCheckpoint(folder.string(), std::string("no ") + SINGLE_FILE + " or " + SHARD_INDEX + " in the checkpoint");
        }
    }

    // The tensor `name` (without "model."), checked to have `shape` and an accepted type.
    const FoundTensor& require(const std::string& name, const std::vector<int64_t>& shape,
                               const std::optional<DataType>& dataType) {
        auto found = tensors_.find(name);
        if (found == tensors_.end())
            refuseCheckpoint(firstFile(), "missing tensor \"" + name + "\" (or \"model." + name + "\")");
        FoundTensor& entry = found->second;
        const std::string where = entry.file->path().string();
        if (entry.tensor->shape != shape)
            refuseCheckpoint(where, "tensor \"" + entry.storedName + "\" has shape " + tensorShapeText(entry.tensor->shape) +
                                        ", config.json needs " + tensorShapeText(shape));
        if (dataType && entry.tensor->dataType != *dataType)
            refuseCheckpoint(where, "tensor \"" + entry.storedName + "\" is " + std::string(traits(entry.tensor->dataType).name) +
                                        " but config.json's torch_dtype is " + std::string(traits(*dataType).name));
        entry.used = true;
        return entry;
    }

    FoundTensor* find(const std::string& name) {
        auto found = tensors_.find(name);
        return found == tensors_.end() ? nullptr : &found->second;
    }

    // Throws for the first tensor no model took.
    void refuseUnused() const {
        for (const auto& [name, entry] : tensors_)
            if (!entry.used)
                refuseCheckpoint(entry.file->path().string(),
                                 "unexpected tensor \"" + entry.storedName + "\" that no Whisper model of config.json has");
    }

private:
    void addFile(const fs::path& path, const std::map<std::string, std::string>* index) {
        if (!isRegularFile(path)) refuseCheckpoint(path.string(), "missing weights file");
        files_.push_back(SafetensorsFile::open(path));
        const SafetensorsFile& file = *files_.back();
        for (const auto& [stored, tensor] : file.tensors()) {
            if (index) {
                auto listed = index->find(stored);
                if (listed == index->end() || listed->second != path.filename().string())
                    refuseCheckpoint(path.string(), "tensor \"" + textExcerpt(stored) + "\" is not listed for this file in " +
                                                        SHARD_INDEX);
            }
            const std::string name = stored.rfind("model.", 0) == 0 ? stored.substr(6) : stored;
            if (tensors_.count(name))
                refuseCheckpoint(path.string(), "tensor \"" + textExcerpt(stored) + "\" appears twice in the checkpoint");
            tensors_.emplace(name, FoundTensor{&file, &tensor, stored, false});
            storedNames_.insert(stored);
        }
    }
    std::string firstFile() const { return files_.empty() ? std::string() : files_.front()->path().string(); }

    std::vector<std::shared_ptr<const SafetensorsFile>> files_;
    std::map<std::string, FoundTensor> tensors_;
    std::set<std::string> storedNames_;
};

std::vector<RawWeightsEntry> collect(CheckpointTensors& tensors, const std::vector<TensorLayout>& layouts,
                                     std::string_view side, const std::optional<DataType>& dataType) {
    std::vector<RawWeightsEntry> entries;
    for (const auto& layout : layouts) {
        const FoundTensor& found = tensors.require(checkpointTensorName(side, layout.name), layout.shape, dataType);
        entries.push_back({layout.name, found.tensor->dataType, layout.shape, found.file->bytes(*found.tensor)});
    }
    return entries;
}

void writeModelDescription(const fs::path& path, const nlohmann::ordered_json& document) {
    std::ofstream out(path, std::ios::trunc);
    out << document.dump(2) << "\n";
    out.flush();
    if (!out) refuseCheckpoint(path.string(), "cannot write file");
}

void convertInto(const fs::path& checkpoint, const fs::path& folder) {
    const fs::path configPath = checkpoint / "config.json";
    if (!isRegularFile(configPath)) refuseCheckpoint(checkpoint.string(), "no config.json in the checkpoint");
    for (const char* name : REQUIRED_CHECKPOINT_FILES)
        if (!isRegularFile(checkpoint / name)) refuseCheckpoint(checkpoint.string(), std::string("no ") + name + " in the checkpoint");
    const fs::path generationPath = checkpoint / "generation_config.json";
    const CheckpointConfig config = CheckpointConfig::parse(
        readCheckpointText(configPath), isRegularFile(generationPath) ? readCheckpointText(generationPath) : std::string());
    const EncoderConfig encoder = config.encoder();
    const DecoderConfig decoder = config.decoder();

    CheckpointTensors tensors(checkpoint);
    auto encoderEntries = collect(tensors, encoderTensors(encoder), "encoder", config.dataType);
    auto decoderEntries = collect(tensors, decoderTensors(decoder), "decoder", config.dataType);
    // The output projection is tied to the token embedding in every released model; a file may
    // still carry a copy of it, which must then be exactly that embedding.
    if (FoundTensor* projection = tensors.find("proj_out.weight")) {
        const FoundTensor& embedding = tensors.require("decoder.embed_tokens.weight", {decoder.vocab, decoder.width}, config.dataType);
        const bool same = projection->tensor->shape == embedding.tensor->shape &&
                          projection->tensor->dataType == embedding.tensor->dataType &&
                          std::memcmp(projection->file->bytes(*projection->tensor), embedding.file->bytes(*embedding.tensor),
                                      embedding.tensor->byteCount) == 0;
        if (!same)
            refuseCheckpoint(projection->file->path().string(),
                             "tensor \"" + projection->storedName +
                                 "\" differs from the token embedding; an output projection of its own is not supported");
        projection->used = true;
    }
    tensors.refuseUnused();

    fs::create_directories(folder);
    testmodels::writeMelModel(folder / "MelSpectrogram.mlmodelc", MelConfig{config.mels});

    const fs::path encoderFolder = folder / "AudioEncoder.mlmodelc";
    fs::create_directory(encoderFolder);
    writeRawWeightsFile(encoderFolder / "weights.bin", encoderEntries);
    nlohmann::ordered_json encoderHyper = {{H_MELS, encoder.mels}, {H_AUDIO_CTX, encoder.audioContext},
                                           {H_STATE, encoder.width}, {H_HEAD, encoder.heads}, {H_LAYER, encoder.layers}};
    writeModelDescription(encoderFolder / "model.json", makeModelJSON(ENCODER_KIND, encoderHyper, encoderDescription(encoder)));

    const fs::path decoderFolder = folder / "TextDecoder.mlmodelc";
    fs::create_directory(decoderFolder);
    writeRawWeightsFile(decoderFolder / "weights.bin", decoderEntries);
    nlohmann::ordered_json decoderHyper = {{H_VOCAB, decoder.vocab}, {H_TEXT_CTX, decoder.textContext},
                                           {H_STATE, decoder.width}, {H_HEAD, decoder.heads},
                                           {H_LAYER, decoder.layers}, {H_AUDIO_CTX, decoder.audioContext}};
    nlohmann::ordered_json heads = nlohmann::ordered_json::array();
    for (auto [layer, head] : decoder.alignmentHeads) heads.push_back({layer, head});
    writeModelDescription(decoderFolder / "model.json", makeModelJSON(DECODER_KIND, decoderHyper, decoderDescription(decoder),
                                                                      {{"alignment_heads", heads}}));

    for (const char* name : OPTIONAL_CHECKPOINT_FILES)
        if (isRegularFile(checkpoint / name)) fs::copy_file(checkpoint / name, folder / name);
    for (const char* name : REQUIRED_CHECKPOINT_FILES) fs::copy_file(checkpoint / name, folder / name);
    // Last: the model folder counts as complete once config.json is in it.
    fs::copy_file(configPath, folder / "config.json");
}

}  // namespace

CheckpointConfig CheckpointConfig::parse(std::string_view configText, std::string_view generationConfigText) {
    const nlohmann::json config = parseCheckpointJSON(configText, "config.json");
    requireValue(config, "model_type", "whisper", "not a Whisper model");
    requireValue(config, "activation_function", "gelu", "this runtime runs the exact GELU only");
    CheckpointConfig result;
    result.mels = configDimension(config, "num_mel_bins", MAX_MELS);
    result.width = configDimension(config, "d_model", MAX_WIDTH);
    result.encoderLayers = configDimension(config, "encoder_layers", MAX_LAYERS);
    result.encoderHeads = configDimension(config, "encoder_attention_heads", MAX_HEADS);
    result.decoderLayers = configDimension(config, "decoder_layers", MAX_LAYERS);
    result.decoderHeads = configDimension(config, "decoder_attention_heads", MAX_HEADS);
    result.vocab = configDimension(config, "vocab_size", MAX_VOCAB);
    result.textContext = configDimension(config, "max_target_positions", MAX_TEXT_CTX);
    if (configDimension(config, "max_source_positions", MAX_TEXT_CTX) != AUDIO_CONTEXT)
        refuseCheckpoint("config.json", "\"max_source_positions\" must be " + std::to_string(AUDIO_CONTEXT) +
                                            " (30-second windows)");
    for (auto [key, heads] : {std::pair{"encoder_attention_heads", result.encoderHeads},
                              std::pair{"decoder_attention_heads", result.decoderHeads}})
        if (result.width % heads != 0)
            refuseCheckpoint("config.json", std::string("\"") + key + "\" " + std::to_string(heads) +
                                                " does not divide \"d_model\" " + std::to_string(result.width));
    for (const char* key : {"encoder_ffn_dim", "decoder_ffn_dim"})
        requireValue(config, key, 4 * result.width, "this runtime needs 4 x d_model");
    if (result.decoderLayers * result.width * result.textContext > MAX_CACHE_ELEMENTS)
        refuseCheckpoint("config.json", "decoder_layers x d_model x max_target_positions is more than the " +
                                            std::to_string(MAX_CACHE_ELEMENTS) + " cache elements this runtime accepts");
    if (auto dtype = config.find("torch_dtype"); dtype != config.end() && dtype->is_string()) {
        if (*dtype == "float16") result.dataType = DataType::Float16;
        if (*dtype == "float32") result.dataType = DataType::Float32;
    }

    if (!generationConfigText.empty()) {
        const nlohmann::json generation = parseCheckpointJSON(generationConfigText, "generation_config.json");
        auto heads = generation.find("alignment_heads");
        if (heads != generation.end() && !heads->is_null()) {
            if (!heads->is_array())
                refuseCheckpoint("generation_config.json", "\"alignment_heads\" must be a list of [layer, head] pairs");
            for (const auto& pair : *heads) {
                if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number_integer() || !pair[1].is_number_integer())
                    refuseCheckpoint("generation_config.json",
                                     "\"alignment_heads\" must be a list of [layer, head] pairs, not " + jsonExcerpt(pair));
                const int64_t layer = pair[0].get<int64_t>(), head = pair[1].get<int64_t>();
                if (layer < 0 || layer >= result.decoderLayers || head < 0 || head >= result.decoderHeads)
                    refuseCheckpoint("generation_config.json", "alignment head " + jsonExcerpt(pair) + " lies outside the decoder");
                result.alignmentHeads.emplace_back(layer, head);
            }
        }
    }
    return result;
}

EncoderConfig CheckpointConfig::encoder() const {
    EncoderConfig config;
    config.mels = mels;
    config.width = width;
    config.heads = encoderHeads;
    config.layers = encoderLayers;
    return config;
}

DecoderConfig CheckpointConfig::decoder() const {
    DecoderConfig config;
    config.vocab = vocab;
    config.textContext = textContext;
    config.width = width;
    config.heads = decoderHeads;
    config.layers = decoderLayers;
    config.alignmentHeads = alignmentHeads;
    if (config.alignmentHeads.empty()) {
        // Without a list, every head of the upper half of the layers counts (as the runtime does).
        for (int64_t layer = config.layers / 2; layer < config.layers; ++layer)
            for (int64_t head = 0; head < config.heads; ++head) config.alignmentHeads.emplace_back(layer, head);
    }
    return config;
}

std::map<std::string, std::string> parseShardIndex(std::string_view text) {
    const nlohmann::json index = parseCheckpointJSON(text, SHARD_INDEX);
    auto map = index.find("weight_map");
    if (map == index.end() || !map->is_object()) refuseCheckpoint(SHARD_INDEX, "missing \"weight_map\" object");
    std::map<std::string, std::string> result;
    for (const auto& [tensor, shard] : map->items()) {
        if (!shard.is_string()) refuseCheckpoint(SHARD_INDEX, "tensor \"" + textExcerpt(tensor) + "\": shard name is not a string");
        const std::string name = shard.get<std::string>();
        const bool plain = !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
                           name.find('\\') == std::string::npos && name.find('\0') == std::string::npos;
        if (!plain)
            refuseCheckpoint(SHARD_INDEX, "tensor \"" + textExcerpt(tensor) + "\": shard \"" + textExcerpt(name) +
                                              "\" is not a file name in the checkpoint folder");
        result.emplace(tensor, name);
    }
    return result;
}

std::string checkpointTensorName(std::string_view side, const std::string& runtimeName) {
    static const std::pair<const char*, const char*> LAYER_PARTS[] = {
        {"attn_ln.", "self_attn_layer_norm."},          {"attn.query.", "self_attn.q_proj."},
        {"attn.key.", "self_attn.k_proj."},             {"attn.value.", "self_attn.v_proj."},
        {"attn.out.", "self_attn.out_proj."},           {"cross_attn_ln.", "encoder_attn_layer_norm."},
        {"cross_attn.query.", "encoder_attn.q_proj."},  {"cross_attn.key.", "encoder_attn.k_proj."},
        {"cross_attn.value.", "encoder_attn.v_proj."},  {"cross_attn.out.", "encoder_attn.out_proj."},
        {"mlp_ln.", "final_layer_norm."},               {"mlp.fc1.", "fc1."},
        {"mlp.fc2.", "fc2."},
    };
    static const std::pair<const char*, const char*> MODEL_PARTS[] = {
        {"conv1.", "conv1."},
        {"conv2.", "conv2."},
        {"ln_post.", "layer_norm."},
        {"positional_embedding", "embed_positions.weight"},
        {"token_embedding", "embed_tokens.weight"},
    };
    const std::string prefix = std::string(side) + ".";
    auto replaced = [&](std::string_view name, const auto& table, const std::string& head) -> std::optional<std::string> {
        for (const auto& [from, to] : table) {
            const std::string_view f(from);
            if (name.substr(0, f.size()) == f) return head + to + std::string(name.substr(f.size()));
        }
        return std::nullopt;
    };
    constexpr std::string_view BLOCKS = "blocks.";
    const std::string_view name(runtimeName);
    if (name.substr(0, BLOCKS.size()) == BLOCKS) {
        const std::string_view rest = name.substr(BLOCKS.size());
        const size_t dot = rest.find('.');
        if (dot != std::string_view::npos)
            if (auto mapped = replaced(rest.substr(dot + 1), LAYER_PARTS, prefix + "layers." + std::string(rest.substr(0, dot)) + "."))
                return *mapped;
    } else if (auto mapped = replaced(name, MODEL_PARTS, prefix)) {
        return *mapped;
    }
    return prefix + runtimeName;
}

void importCheckpoint(const fs::path& checkpoint, const fs::path& target) {
    const fs::path parent = target.parent_path();
    const std::string name = target.filename().string();
    if (name.empty() || name == "." || name == "..") refuseCheckpoint(target.string(), "not a model folder name");
    std::error_code ec;
    fs::create_directories(parent, ec);
    if (ec) refuseCheckpoint(parent.string(), "cannot create folder: " + ec.message());
    // Folders of imports that were killed before they finished (the same hidden names the
    // application's own imports use).
    const std::string leftover = "." + name + ".import-";
    for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().rfind(leftover, 0) == 0) {
            std::error_code ignored;
            fs::remove_all(it->path(), ignored);
        }
    std::string pattern = (parent / (leftover + "XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) refuseCheckpoint(parent.string(), std::string("cannot create a folder: ") + std::strerror(errno));
    const fs::path staging = pattern;
    try {
        convertInto(checkpoint, staging / "model");
        const fs::path old = staging / "replaced";
        const bool replacing = fs::exists(fs::symlink_status(target, ec));
        if (replacing) fs::rename(target, old);
        try {
            fs::rename(staging / "model", target);
        } catch (...) {
            if (replacing) fs::rename(old, target, ec);
            throw;
        }
    } catch (const fs::filesystem_error& error) {
        fs::remove_all(staging, ec);
        throw Error(Error::Code::invalidModel, std::string("cannot write the model folder: ") + error.what());
    } catch (...) {
        fs::remove_all(staging, ec);
        throw;
    }
    fs::remove_all(staging, ec);
}

}  // namespace mlruntime::whisper
