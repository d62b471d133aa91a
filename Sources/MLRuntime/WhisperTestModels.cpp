#include "MLRuntime/WhisperTestModels.hpp"

#include <cmath>
#include <fstream>
#include <random>

#include "MLRuntime/Error.hpp"
#include "MLRuntime/ModelFile.hpp"
#include "MLRuntime/Safetensors.hpp"
#include "MLRuntime/WeightsFile.hpp"
#include "MLRuntime/WhisperCheckpoint.hpp"

namespace mlruntime::testmodels {

using namespace whisper;

std::optional<ModelSize> namedSize(std::string_view name) {
    if (name == "test") return ModelSize{"test", 80, 64, 4, 2, 512};
    if (name == "tiny") return ModelSize{"tiny", 80, 384, 6, 4, 51864};
    if (name == "base") return ModelSize{"base", 80, 512, 8, 6, 51865};
    return std::nullopt;
}

EncoderConfig encoderConfig(const ModelSize& size) {
    EncoderConfig config;
    config.mels = size.mels;
    config.width = size.width;
    config.heads = size.heads;
    config.layers = size.layers;
    return config;
}

DecoderConfig decoderConfig(const ModelSize& size, int64_t textContext) {
    DecoderConfig config;
    config.vocab = size.vocab;
    config.textContext = textContext;
    config.width = size.width;
    config.heads = size.heads;
    config.layers = size.decoderLayers > 0 ? size.decoderLayers : size.layers;
    for (int64_t layer = config.layers / 2; layer < config.layers; ++layer)
        for (int64_t head = 0; head < size.heads; head += 2) config.alignmentHeads.emplace_back(layer, head);
    return config;
}

namespace {

double hzToMel(double hz) {
    const double spacing = 200.0 / 3.0, breakHz = 1000.0, breakMel = breakHz / spacing;
    const double logStep = std::log(6.4) / 27.0;
    return hz < breakHz ? hz / spacing : breakMel + std::log(hz / breakHz) / logStep;
}

double melToHz(double mel) {
    const double spacing = 200.0 / 3.0, breakHz = 1000.0, breakMel = breakHz / spacing;
    const double logStep = std::log(6.4) / 27.0;
    return mel < breakMel ? mel * spacing : breakHz * std::exp(logStep * (mel - breakMel));
}

class Weights {
public:
    Weights(uint64_t seed, DataType type) : random_(seed), type_(type) {}

    void normal(const std::string& name, std::vector<int64_t> shape, double deviation, double mean = 0.0) {
        std::normal_distribution<float> draw(0.0f, 1.0f);
        std::vector<float> values(count(shape));
        for (auto& value : values) value = static_cast<float>(mean + deviation * draw(random_));
        entries_.push_back({name, type_, std::move(shape), std::move(values)});
    }
    void fixed(const std::string& name, std::vector<int64_t> shape, std::vector<float> values) {
        entries_.push_back({name, type_, std::move(shape), std::move(values)});
    }
    void write(const std::filesystem::path& path) const { writeWeightsFile(path, entries_); }
    const std::vector<WeightsEntry>& entries() const { return entries_; }
    std::vector<float>& lastValues() { return entries_.back().values; }

private:
    static size_t count(const std::vector<int64_t>& shape) {
        size_t n = 1;
        for (auto d : shape) n *= static_cast<size_t>(d);
        return n;
    }
    std::mt19937_64 random_;
    DataType type_;
    std::vector<WeightsEntry> entries_;
};

// Every tensor of the kind's table, drawn by its role: LayerNorm gains near 1, small biases,
// weights scaled by 1/sqrt(fan-in).
void drawTensors(Weights& weights, const std::vector<TensorLayout>& tensors, int64_t width) {
    for (const auto& tensor : tensors) {
        const std::string& name = tensor.name;
        auto endsWith = [&](std::string_view tail) {
            return name.size() >= tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
        };
        if (name.find("ln") != std::string::npos && endsWith(".weight")) {
            weights.normal(name, tensor.shape, 0.1, 1.0);
        } else if (endsWith(".bias") || name.find("ln") != std::string::npos) {
            weights.normal(name, tensor.shape, 0.05);
        } else if (name == POSITIONAL_EMBEDDING) {
            weights.normal(name, tensor.shape, 0.5 / std::sqrt(static_cast<double>(width)));
        } else if (name == TOKEN_EMBEDDING) {
            weights.normal(name, tensor.shape, 1.0 / std::sqrt(static_cast<double>(width)));
        } else {
            int64_t fanIn = 1;
            for (size_t i = 1; i < tensor.shape.size(); ++i) fanIn *= tensor.shape[i];
            weights.normal(name, tensor.shape, 1.0 / std::sqrt(static_cast<double>(fanIn)));
        }
    }
}

void writeJSON(const std::filesystem::path& path, const nlohmann::ordered_json& document) {
    std::ofstream out(path, std::ios::trunc);
    out << document.dump(2) << "\n";
    out.flush();
    if (!out) throw Error(Error::Code::invalidModel, path.string() + ": cannot write file");
}

void makeFolder(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) throw Error(Error::Code::invalidModel, folder.string() + ": cannot create folder: " + error.message());
}

nlohmann::ordered_json decoderHyperparameters(const DecoderConfig& config) {
    return {{H_VOCAB, config.vocab},   {H_TEXT_CTX, config.textContext}, {H_STATE, config.width},
            {H_HEAD, config.heads},    {H_LAYER, config.layers},         {H_AUDIO_CTX, config.audioContext}};
}

}  // namespace

std::vector<float> slaneyMelFilters(int64_t mels) {
    std::vector<double> points(static_cast<size_t>(mels + 2));
    double top = hzToMel(SAMPLE_RATE / 2.0);
    for (int64_t i = 0; i < mels + 2; ++i) points[i] = melToHz(top * static_cast<double>(i) / static_cast<double>(mels + 1));
    std::vector<float> filters(static_cast<size_t>(mels * FFT_BINS));
    for (int64_t m = 0; m < mels; ++m) {
        double lower = points[m], centre = points[m + 1], upper = points[m + 2];
        double norm = 2.0 / (upper - lower);
        for (int64_t k = 0; k < FFT_BINS; ++k) {
            double hz = static_cast<double>(k) * SAMPLE_RATE / static_cast<double>(N_FFT);
            double rise = (hz - lower) / (centre - lower);
            double fall = (upper - hz) / (upper - centre);
            filters[m * FFT_BINS + k] = static_cast<float>(std::max(0.0, std::min(rise, fall)) * norm);
        }
    }
    return filters;
}

std::vector<float> sinusoids(int64_t length, int64_t width) {
    const int64_t half = width / 2;
    const double increment = std::log(10000.0) / static_cast<double>(std::max<int64_t>(1, half - 1));
    std::vector<float> values(static_cast<size_t>(length * width));
    for (int64_t t = 0; t < length; ++t)
        for (int64_t i = 0; i < half; ++i) {
            double angle = static_cast<double>(t) * std::exp(-increment * static_cast<double>(i));
            values[t * width + i] = static_cast<float>(std::sin(angle));
            values[t * width + half + i] = static_cast<float>(std::cos(angle));
        }
    return values;
}

int64_t endToken(int64_t vocab) {
    // Multilingual vocabularies (51,865 and more ids) hold one more text token before the specials.
    if (vocab >= 51865) return 50257;
    return vocab > 50256 ? 50256 : vocab - 1;
}

std::vector<int64_t> defaultScript(int64_t vocab) {
    if (vocab < 51864) return {1, 2, 3, 4, 5};
    const int64_t timeTokenBegin = vocab - 1501;
    return {timeTokenBegin, 18435, 995, 13, timeTokenBegin + 50};
}

void writeMelModel(const std::filesystem::path& folder, const MelConfig& config, DataType weightType) {
    makeFolder(folder);
    Weights weights(0, weightType);
    weights.fixed(MEL_FILTERS, {config.mels, FFT_BINS}, slaneyMelFilters(config.mels));
    weights.write(folder / "weights.bin");
    writeJSON(folder / "model.json", makeModelJSON(MEL_KIND, {{H_MELS, config.mels}}, melDescription(config)));
}

void writeEncoderModel(const std::filesystem::path& folder, const EncoderConfig& config, uint64_t seed,
                       DataType weightType) {
    makeFolder(folder);
    Weights weights(seed, weightType);
    for (const auto& tensor : encoderTensors(config)) {
        if (tensor.name == POSITIONAL_EMBEDDING)
            weights.fixed(tensor.name, tensor.shape, sinusoids(config.audioContext, config.width));
        else
            drawTensors(weights, {tensor}, config.width);
    }
    weights.write(folder / "weights.bin");
    nlohmann::ordered_json hyper = {{H_MELS, config.mels}, {H_AUDIO_CTX, config.audioContext},
                                    {H_STATE, config.width}, {H_HEAD, config.heads}, {H_LAYER, config.layers}};
    writeJSON(folder / "model.json", makeModelJSON(ENCODER_KIND, hyper, encoderDescription(config)));
}

void writeDecoderModel(const std::filesystem::path& folder, const DecoderConfig& config, uint64_t seed,
                       DataType weightType) {
    makeFolder(folder);
    Weights weights(seed, weightType);
    drawTensors(weights, decoderTensors(config), config.width);
    weights.write(folder / "weights.bin");
    nlohmann::ordered_json heads = nlohmann::ordered_json::array();
    for (auto [layer, head] : config.alignmentHeads) heads.push_back({layer, head});
    writeJSON(folder / "model.json", makeModelJSON(DECODER_KIND, decoderHyperparameters(config),
                                                   decoderDescription(config), {{"alignment_heads", heads}}));
}

void writeScriptedDecoderModel(const std::filesystem::path& folder, const DecoderConfig& config,
                               const std::vector<int64_t>& script, int64_t end) {
    makeFolder(folder);
    writeWeightsFile(folder / "weights.bin", {});
    writeJSON(folder / "model.json", makeModelJSON(SCRIPTED_DECODER_KIND, decoderHyperparameters(config),
                                                   decoderDescription(config),
                                                   {{"script", script}, {"end_token", end}}));
}

void writeModelFolder(const std::filesystem::path& folder, const FolderOptions& options) {
    makeFolder(folder);
    const ModelSize& size = options.size;
    writeMelModel(folder / "MelSpectrogram.mlmodelc", MelConfig{size.mels});
    writeEncoderModel(folder / "AudioEncoder.mlmodelc", encoderConfig(size), options.seed, options.weightType);
    DecoderConfig decoder = decoderConfig(size, options.textContext);
    if (options.scripted)
        writeScriptedDecoderModel(folder / "TextDecoder.mlmodelc", decoder,
                                  options.script.empty() ? defaultScript(size.vocab) : options.script,
                                  endToken(size.vocab));
    else
        writeDecoderModel(folder / "TextDecoder.mlmodelc", decoder, options.seed + 1, options.weightType);
    nlohmann::ordered_json config = {
        {"model_type", "whisper"},         {"num_mel_bins", size.mels},
        {"d_model", size.width},           {"encoder_layers", size.layers},
        {"encoder_attention_heads", size.heads}, {"decoder_layers", decoder.layers},
        {"decoder_attention_heads", size.heads}, {"vocab_size", size.vocab},
        {"max_source_positions", AUDIO_CONTEXT}, {"max_target_positions", options.textContext},
    };
    writeJSON(folder / "config.json", config);
}

namespace {

std::string storedBytes(const WeightsEntry& entry) {
    std::string bytes;
    if (entry.dataType == DataType::Float32) {
        bytes.assign(reinterpret_cast<const char*>(entry.values.data()), entry.values.size() * sizeof(float));
    } else {
        std::vector<Half> halves(entry.values.size());
        floatToHalf(entry.values.data(), halves.data(), halves.size());
        bytes.assign(reinterpret_cast<const char*>(halves.data()), halves.size() * sizeof(Half));
    }
    return bytes;
}

}  // namespace

void writeCheckpoint(const std::filesystem::path& folder, const CheckpointOptions& options) {
    makeFolder(folder);
    const ModelSize& size = options.size;
    const EncoderConfig encoder = encoderConfig(size);
    DecoderConfig decoder = decoderConfig(size, options.textContext);

    std::vector<SafetensorsEntry> tensors;
    auto add = [&](const Weights& weights, std::string_view side) {
        for (const auto& entry : weights.entries())
            tensors.push_back({"model." + whisper::checkpointTensorName(side, entry.name), entry.dataType, entry.shape,
                               storedBytes(entry)});
    };
    Weights encoderWeights(options.seed, options.weightType);
    for (const auto& tensor : encoderTensors(encoder)) {
        if (tensor.name == POSITIONAL_EMBEDDING)
            encoderWeights.fixed(tensor.name, tensor.shape, sinusoids(encoder.audioContext, encoder.width));
        else
            drawTensors(encoderWeights, {tensor}, encoder.width);
    }
    add(encoderWeights, "encoder");
    Weights decoderWeights(options.seed + 1, options.weightType);
    for (auto tensor : decoderTensors(decoder)) {
        drawTensors(decoderWeights, {tensor}, decoder.width);
        if (!options.talkative) continue;
        auto& values = decoderWeights.lastValues();
        if (tensor.name == POSITIONAL_EMBEDDING)
            for (auto& v : values) v *= 20.0f;
        else if (tensor.name == LN_POST_WEIGHT)
            for (auto& v : values) v *= 30.0f;
    }
    add(decoderWeights, "decoder");

    if (options.shards <= 1) {
        writeSafetensorsFile(folder / "model.safetensors", tensors);
    } else {
        const size_t half = tensors.size() / 2;
        const std::string names[2] = {"model-00001-of-00002.safetensors", "model-00002-of-00002.safetensors"};
        nlohmann::ordered_json map = nlohmann::ordered_json::object();
        for (size_t i = 0; i < tensors.size(); ++i) map[tensors[i].name] = names[i < half ? 0 : 1];
        writeSafetensorsFile(folder / names[0], {tensors.begin(), tensors.begin() + static_cast<std::ptrdiff_t>(half)});
        writeSafetensorsFile(folder / names[1], {tensors.begin() + static_cast<std::ptrdiff_t>(half), tensors.end()});
        writeJSON(folder / "model.safetensors.index.json", {{"metadata", {{"total_size", 0}}}, {"weight_map", map}});
    }

    const bool half = options.weightType == DataType::Float16;
    writeJSON(folder / "config.json",
              {{"_name_or_path", "openai/whisper-test"}, {"architectures", {"WhisperForConditionalGeneration"}},
               {"model_type", "whisper"}, {"activation_function", "gelu"}, {"d_model", size.width},
               {"encoder_layers", size.layers}, {"encoder_attention_heads", size.heads},
               {"encoder_ffn_dim", 4 * size.width}, {"decoder_layers", decoder.layers},
               {"decoder_attention_heads", size.heads}, {"decoder_ffn_dim", 4 * size.width},
               {"num_mel_bins", size.mels}, {"vocab_size", size.vocab}, {"max_source_positions", AUDIO_CONTEXT},
               {"max_target_positions", options.textContext}, {"scale_embedding", false},
               {"torch_dtype", half ? "float16" : "float32"}});
    nlohmann::ordered_json heads = nlohmann::ordered_json::array();
    for (auto [layer, head] : decoder.alignmentHeads) heads.push_back({layer, head});
    writeJSON(folder / "generation_config.json", {{"alignment_heads", heads}, {"decoder_start_token_id", endToken(size.vocab) + 1}});
    writeJSON(folder / "preprocessor_config.json",
              {{"feature_extractor_type", "WhisperFeatureExtractor"}, {"feature_size", size.mels}, {"hop_length", HOP_LENGTH},
               {"n_fft", N_FFT}, {"sampling_rate", SAMPLE_RATE}, {"chunk_length", 30}});
    for (const char* name : {"tokenizer.json", "tokenizer_config.json"}) {
        if (options.tokenizerFolder.empty()) {
            writeJSON(folder / name, nlohmann::ordered_json::object());
        } else {
            std::error_code error;
            std::filesystem::copy_file(options.tokenizerFolder / name, folder / name,
                                       std::filesystem::copy_options::overwrite_existing, error);
            if (error) throw Error(Error::Code::invalidModel, (folder / name).string() + ": cannot copy: " + error.message());
        }
    }
}

}  // namespace mlruntime::testmodels
