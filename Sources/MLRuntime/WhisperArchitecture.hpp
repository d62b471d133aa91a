#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "MLRuntime/ModelDescription.hpp"

// The Whisper model family as this runtime runs it: kinds, feature names, fixed signal-processing
// numbers, hyperparameters, feature descriptions and the one table of tensor names and shapes that
// both the loader and the test-model generator use.
namespace mlruntime::whisper {

inline constexpr char MEL_KIND[] = "whisper-mel";
inline constexpr char ENCODER_KIND[] = "whisper-encoder";
inline constexpr char DECODER_KIND[] = "whisper-decoder";
inline constexpr char SCRIPTED_DECODER_KIND[] = "scripted-decoder";

// Feature names.
inline constexpr char AUDIO[] = "audio";
inline constexpr char MEL_FEATURES[] = "melspectrogram_features";
inline constexpr char ENCODER_OUTPUT[] = "encoder_output_embeds";
inline constexpr char INPUT_IDS[] = "input_ids";
inline constexpr char CACHE_LENGTH[] = "cache_length";
inline constexpr char KEY_CACHE[] = "key_cache";
inline constexpr char VALUE_CACHE[] = "value_cache";
inline constexpr char UPDATE_MASK[] = "kv_cache_update_mask";
inline constexpr char PADDING_MASK[] = "decoder_key_padding_mask";
inline constexpr char LOGITS[] = "logits";
inline constexpr char KEY_UPDATES[] = "key_cache_updates";
inline constexpr char VALUE_UPDATES[] = "value_cache_updates";
inline constexpr char ALIGNMENT_WEIGHTS[] = "alignment_heads_weights";

// The mel recipe: 30 s of 16 kHz audio, 400-point FFT every 160 samples, 3,000 frames.
inline constexpr int64_t SAMPLE_RATE = 16000;
inline constexpr int64_t N_SAMPLES = 480000;
inline constexpr int64_t N_FFT = 400;
inline constexpr int64_t HOP_LENGTH = 160;
inline constexpr int64_t N_FRAMES = N_SAMPLES / HOP_LENGTH;  // 3000
inline constexpr int64_t FFT_BINS = N_FFT / 2 + 1;           // 201
inline constexpr int64_t AUDIO_CONTEXT = N_FRAMES / 2;       // 1500 encoder frames

// Hyperparameter keys of model.json.
inline constexpr char H_MELS[] = "n_mels";
inline constexpr char H_AUDIO_CTX[] = "n_audio_ctx";
inline constexpr char H_STATE[] = "n_state";
inline constexpr char H_HEAD[] = "n_head";
inline constexpr char H_LAYER[] = "n_layer";
inline constexpr char H_VOCAB[] = "n_vocab";
inline constexpr char H_TEXT_CTX[] = "n_text_ctx";

// The largest value each hyperparameter may take: far above every released model (n_mels 128,
// n_state 1280, n_head 20, n_layer 32, n_vocab 51,866, n_text_ctx 448), low enough that no size
// derived from them can grow without bound. n_audio_ctx is always AUDIO_CONTEXT.
inline constexpr int64_t MAX_MELS = 512;
inline constexpr int64_t MAX_WIDTH = 8192;
inline constexpr int64_t MAX_HEADS = 256;
inline constexpr int64_t MAX_LAYERS = 128;
inline constexpr int64_t MAX_VOCAB = int64_t{1} << 20;
inline constexpr int64_t MAX_TEXT_CTX = 8192;
// Elements of one key or value cache (n_layer x n_state x n_text_ctx); large-v3's is 18.4 million.
inline constexpr int64_t MAX_CACHE_ELEMENTS = int64_t{1} << 28;

struct MelConfig {
    int64_t mels = 80;
};

struct EncoderConfig {
    int64_t mels = 80;
    int64_t audioContext = AUDIO_CONTEXT;
    int64_t width = 384;
    int64_t heads = 6;
    int64_t layers = 4;
};

struct DecoderConfig {
    int64_t vocab = 51864;
    int64_t textContext = 224;  // positions of the key/value cache
    int64_t width = 384;
    int64_t heads = 6;
    int64_t layers = 4;
    int64_t audioContext = AUDIO_CONTEXT;
    // (layer, head) pairs whose cross-attention weights are averaged into "alignment_heads_weights".
    std::vector<std::pair<int64_t, int64_t>> alignmentHeads;
};

// The features each kind takes and gives, exactly as the engine reads them: "audio" Float32
// [480000] -> "melspectrogram_features" Float16 [1, mels, 1, 3000] -> "encoder_output_embeds"
// Float16 [1, width, 1, 1500]; the decoder's seven inputs (caches [1, layers * width, 1,
// textContext]) and its "logits" [1, 1, vocab], cache updates [1, layers * width, 1, 1] and
// "alignment_heads_weights" [1, 1500], all Float16. Pure functions; never fail.
ModelDescription melDescription(const MelConfig& config);
ModelDescription encoderDescription(const EncoderConfig& config);
ModelDescription decoderDescription(const DecoderConfig& config);

// One tensor of a model file: its name and shape.
struct TensorLayout {
    std::string name;
    std::vector<int64_t> shape;
};

// Tensor names. Per-layer tensors are "blocks.<layer>.<suffix>".
inline constexpr char MEL_FILTERS[] = "mel_filters";  // [mels, 201]
inline constexpr char CONV1_WEIGHT[] = "conv1.weight";  // [width, mels, 3]
inline constexpr char CONV1_BIAS[] = "conv1.bias";
inline constexpr char CONV2_WEIGHT[] = "conv2.weight";  // [width, width, 3]
inline constexpr char CONV2_BIAS[] = "conv2.bias";
inline constexpr char POSITIONAL_EMBEDDING[] = "positional_embedding";  // [context, width]
inline constexpr char TOKEN_EMBEDDING[] = "token_embedding";            // [vocab, width]
inline constexpr char LN_POST_WEIGHT[] = "ln_post.weight";
inline constexpr char LN_POST_BIAS[] = "ln_post.bias";

// One attention layer's tensors ("attn" for self-attention, "cross_attn" for cross-attention).
struct AttentionNames {
    std::string lnWeight, lnBias, queryWeight, queryBias, keyWeight, valueWeight, valueBias, outWeight, outBias;
};
struct MlpNames {
    std::string lnWeight, lnBias, fc1Weight, fc1Bias, fc2Weight, fc2Bias;
};
// The tensor names of one layer's attention ("blocks.<layer>.<prefix>...") and MLP.
AttentionNames attentionNames(int64_t layer, const std::string& prefix);
MlpNames mlpNames(int64_t layer);

// Every tensor of a model kind with its shape, in file order.
std::vector<TensorLayout> melTensors(const MelConfig& config);
std::vector<TensorLayout> encoderTensors(const EncoderConfig& config);
std::vector<TensorLayout> decoderTensors(const DecoderConfig& config);

}  // namespace mlruntime::whisper
