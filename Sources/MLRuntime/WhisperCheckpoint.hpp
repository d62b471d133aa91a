#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "MLRuntime/DataType.hpp"
#include "MLRuntime/WhisperArchitecture.hpp"

// Public Whisper checkpoints in the model hub's standard layout, converted into this runtime's
// model folders. A checkpoint folder holds config.json, the weights as model.safetensors (or
// shards listed by model.safetensors.index.json), the tokenizer files and, usually,
// generation_config.json with the alignment heads for word timestamps.
namespace mlruntime::whisper {

// What the conversion reads from config.json and generation_config.json.
struct CheckpointConfig {
    int64_t mels = 80;             // num_mel_bins
    int64_t width = 384;           // d_model
    int64_t encoderLayers = 4;     // encoder_layers
    int64_t encoderHeads = 6;      // encoder_attention_heads
    int64_t decoderLayers = 4;     // decoder_layers
    int64_t decoderHeads = 6;      // decoder_attention_heads
    int64_t vocab = 51864;         // vocab_size
    int64_t textContext = 448;     // max_target_positions
    // "torch_dtype" when it is "float16" or "float32": every tensor must then be of that type.
    std::optional<DataType> dataType;
    // generation_config.json's "alignment_heads" ([layer, head] pairs); empty when it has none.
    std::vector<std::pair<int64_t, int64_t>> alignmentHeads;

    // Reads the texts of config.json and generation_config.json (empty text: no such file).
    // Throws Error(invalidModel) starting "config.json: " or "generation_config.json: " for
    // malformed JSON, a missing or out-of-range dimension, a model this runtime cannot run (another
    // model type or activation, a feed-forward width other than 4 x d_model, an audio context other
    // than 1,500, heads that do not divide d_model) or alignment heads outside the decoder.
    static CheckpointConfig parse(std::string_view configText, std::string_view generationConfigText);

    EncoderConfig encoder() const;
    DecoderConfig decoder() const;
};

// The "weight_map" of model.safetensors.index.json: tensor name -> shard file name. Throws
// Error(invalidModel) starting "model.safetensors.index.json: " for malformed JSON or a shard name
// that is not a plain file name (so no shard is ever read from outside the checkpoint folder).
std::map<std::string, std::string> parseShardIndex(std::string_view text);

// The checkpoint's name of one of this runtime's tensors ("blocks.2.cross_attn.key.weight" of the
// decoder is "decoder.layers.2.encoder_attn.k_proj.weight"), without the optional "model." prefix.
// `side` is "encoder" or "decoder".
std::string checkpointTensorName(std::string_view side, const std::string& runtimeName);

// Tokenizer and configuration files copied beside the models: the first two must exist, the others
// are copied when present.
inline constexpr const char* REQUIRED_CHECKPOINT_FILES[] = {"tokenizer.json", "tokenizer_config.json"};
inline constexpr const char* OPTIONAL_CHECKPOINT_FILES[] = {
    "vocab.json",        "merges.txt",          "added_tokens.json",       "special_tokens_map.json",
    "normalizer.json",   "preprocessor_config.json", "generation_config.json"};

// Converts the checkpoint in `checkpoint` into the model folder `target`: MelSpectrogram.mlmodelc
// (computed from num_mel_bins), AudioEncoder.mlmodelc and TextDecoder.mlmodelc (tensors copied in
// their own type: float16 stays float16), config.json and the tokenizer files. Every tensor is
// checked against config.json first: a missing, extra or duplicated tensor, a shape or type that
// disagrees, or a damaged safetensors file throws Error(invalidModel) naming the file and the
// tensor. The folder is written under a hidden name beside `target` and renamed into place only
// when complete; a `target` that exists is replaced then. On failure nothing is left behind and an
// existing `target` stays as it was. Nothing is written outside `target`'s parent folder.
void importCheckpoint(const std::filesystem::path& checkpoint, const std::filesystem::path& target);

}  // namespace mlruntime::whisper
