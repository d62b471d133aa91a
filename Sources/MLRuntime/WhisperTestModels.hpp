#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "MLRuntime/DataType.hpp"
#include "MLRuntime/WhisperArchitecture.hpp"

// Writes model folders of every kind from a seed and a size, so that tests and benchmarks never
// need downloaded weights. Weights are random (seeded, reproducible) and scaled so that activations
// stay of order one; the mel filterbank is the real Slaney-scale one. Tools/make-test-model is the
// command-line form.
namespace mlruntime::testmodels {

struct ModelSize {
    std::string name;
    int64_t mels = 80;
    int64_t width = 384;
    int64_t heads = 6;
    int64_t layers = 4;
    int64_t vocab = 51864;
    int64_t decoderLayers = 0;  // 0: as many as the encoder (`layers`)
};

// "test" (width 64, 4 heads, 2 layers, vocabulary 512), "tiny" (384, 6, 4, 51864),
// "base" (512, 8, 6, 51865); nothing for other names.
std::optional<ModelSize> namedSize(std::string_view name);

struct FolderOptions {
    ModelSize size;
    uint64_t seed = 1;
    DataType weightType = DataType::Float16;  // Float16 or Float32
    bool scripted = false;                    // a scripted-decoder in place of the real decoder
    std::vector<int64_t> script;              // scripted only; empty: defaultScript(vocab)
    int64_t textContext = 224;
};

// Slaney-scale mel filterbank with Slaney area normalisation for 16 kHz and a 400-point FFT:
// [mels, 201] row-major.
std::vector<float> slaneyMelFilters(int64_t mels);

// Sinusoidal positions [length, width]: sin in the first half of the channels, cos in the second.
std::vector<float> sinusoids(int64_t length, int64_t width);

// The timestamp-framed greeting "<|0.00|> Hello world.<|1.00|>" for scripted decoders: the text in
// GPT-2 ids (the English-only vocabulary's), the timestamps at the top 1,501 ids of `vocab`; five
// small ids for vocabularies below 51,864.
std::vector<int64_t> defaultScript(int64_t vocab);
// The end-of-text id: 50256 in English-only vocabularies (51,864 ids), 50257 in multilingual ones
// (51,865 or more), vocab - 1 for small ones.
int64_t endToken(int64_t vocab);

// Each writes one "<Name>.mlmodelc" folder (created if needed). Throw Error(invalidModel) naming
// the file when it cannot be written.
void writeMelModel(const std::filesystem::path& folder, const whisper::MelConfig& config,
                   DataType weightType = DataType::Float32);
void writeEncoderModel(const std::filesystem::path& folder, const whisper::EncoderConfig& config, uint64_t seed,
                       DataType weightType);
void writeDecoderModel(const std::filesystem::path& folder, const whisper::DecoderConfig& config, uint64_t seed,
                       DataType weightType);
void writeScriptedDecoderModel(const std::filesystem::path& folder, const whisper::DecoderConfig& config,
                               const std::vector<int64_t>& script, int64_t endToken);

// A complete model folder: MelSpectrogram.mlmodelc, AudioEncoder.mlmodelc, TextDecoder.mlmodelc
// and config.json.
void writeModelFolder(const std::filesystem::path& folder, const FolderOptions& options);

// A Whisper checkpoint in the model hub's standard layout, as the public ones are published:
// config.json, generation_config.json (with alignment heads), preprocessor_config.json, the
// tokenizer files and random weights (drawn as for the model folders above) under the checkpoint's
// tensor names ("model.encoder.layers.0.self_attn.q_proj.weight", ...), in one model.safetensors
// or in two shards listed by model.safetensors.index.json.
struct CheckpointOptions {
    ModelSize size;
    uint64_t seed = 1;
    DataType weightType = DataType::Float32;  // Float16 or Float32
    int shards = 1;                           // 1 or 2
    int64_t textContext = 448;
    // A decoder that speaks confidently: its position embeddings dominate the token embeddings and
    // its final LayerNorm gain is large, so each position picks one token by a wide margin and
    // neighbouring positions pick different ones. Plain random weights give nearly even logits,
    // which the engine takes for no speech.
    bool talkative = false;
    // tokenizer.json and tokenizer_config.json are copied from here; empty: placeholders "{}".
    std::filesystem::path tokenizerFolder;
};
void writeCheckpoint(const std::filesystem::path& folder, const CheckpointOptions& options);

whisper::EncoderConfig encoderConfig(const ModelSize& size);
whisper::DecoderConfig decoderConfig(const ModelSize& size, int64_t textContext = 224);

}  // namespace mlruntime::testmodels
