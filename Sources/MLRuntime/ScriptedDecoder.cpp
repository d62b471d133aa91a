#include "MLRuntime/ScriptedDecoder.hpp"

#include <algorithm>
#include <cmath>

#include "MLRuntime/JsonExcerpt.hpp"
#include "MLRuntime/ModelFile.hpp"
#include "MLRuntime/WhisperDecoderInputs.hpp"
#include "MLRuntime/WhisperModels.hpp"

namespace mlruntime::whisper {

ScriptedDecoder::ScriptedDecoder(const DecoderConfig& config, std::vector<int64_t> script, int64_t endToken)
    : config_(config), script_(std::move(script)), endToken_(endToken) {}

std::vector<int64_t> ScriptedDecoder::history(const DecoderStepInput& input) const {
    const size_t S = static_cast<size_t>(config_.textContext);
    std::vector<int64_t> tokens;
    for (size_t p = 0; p < static_cast<size_t>(input.position); ++p) {
        if (input.paddingMask[p] != 0.0f || input.updateMask[p] != 0) continue;
        float low = input.keyCache[p].toFloat();
        float high = input.keyCache[S + p].toFloat();
        tokens.push_back(static_cast<int64_t>(std::lround(high)) * 1024 + static_cast<int64_t>(std::lround(low)));
    }
    tokens.push_back(input.token);
    return tokens;
}

int64_t ScriptedDecoder::next(const std::vector<int64_t>& history) const {
    size_t longest = std::min(history.size(), script_.size());
    for (size_t k = longest; k > 0; --k)
        if (std::equal(history.end() - static_cast<std::ptrdiff_t>(k), history.end(), script_.begin()))
            return k < script_.size() ? script_[k] : endToken_;
    return script_.empty() ? endToken_ : script_[0];
}

void ScriptedDecoder::step(const DecoderStepInput& input, DecoderStepOutput& output) const {
    const size_t channels = static_cast<size_t>(config_.layers * config_.width);
    const size_t W = static_cast<size_t>(config_.audioContext);
    auto seen = history(input);
    int64_t token = next(seen);
    output.logits.assign(static_cast<size_t>(config_.vocab), 0.0f);
    output.logits[static_cast<size_t>(endToken_)] = 5.0f;
    output.logits[static_cast<size_t>(token)] = 10.0f;
    output.keys.assign(channels, 0.0f);
    output.values.assign(channels, 0.0f);
    output.keys[0] = static_cast<float>(input.token % 1024);
    output.keys[1] = static_cast<float>(input.token / 1024);
    // Alignment moves forward with the step, so word timings come out in order.
    output.alignment.assign(W, 0.0f);
    output.alignment[std::min(W - 1, static_cast<size_t>(input.position) * 25)] = 1.0f;
}

namespace {

class ScriptedDecoderModel : public Model {
public:
    ScriptedDecoderModel(const DecoderConfig& config, std::vector<int64_t> script, int64_t endToken, ComputeUnits units)
        : Model(units), config_(config), description_(decoderDescription(config)),
          decoder_(config, std::move(script), endToken) {}

    const ModelDescription& description() const override { return description_; }

    std::shared_ptr<FeatureProvider> predict(const FeatureProvider& inputs) const override {
        DecoderInputs parsed(config_, description_, inputs);
        DecoderStepOutput output;
        decoder_.step(parsed.stepInput(), output);
        return decoderOutputs(config_, output);
    }

private:
    DecoderConfig config_;
    ModelDescription description_;
    ScriptedDecoder decoder_;
};

}  // namespace

}  // namespace mlruntime::whisper

namespace mlruntime {

std::shared_ptr<Model> makeScriptedDecoderModel(ModelFile& file, ComputeUnits computeUnits) {
    auto config = whisper::decoderConfig(file);
    file.checkDescription(whisper::decoderDescription(config));
    if (config.layers * config.width < 2) file.fail("a scripted decoder needs at least two cache channels");
    const auto& json = file.json();
    auto readToken = [&](const nlohmann::json& value) {
        if (!value.is_number_integer() || value.get<int64_t>() < 0 || value.get<int64_t>() >= config.vocab)
            file.fail("script token " + jsonExcerpt(value) + " lies outside the vocabulary");
        return value.get<int64_t>();
    };
    auto script = json.find("script");
    if (script == json.end() || !script->is_array()) file.fail("missing script (a list of token ids)");
    auto end = json.find("end_token");
    if (end == json.end()) file.fail("missing end_token");
    std::vector<int64_t> tokens;
    for (const auto& token : *script) tokens.push_back(readToken(token));
    int64_t endToken = readToken(*end);
    file.closeWeights();
    return std::make_shared<whisper::ScriptedDecoderModel>(config, std::move(tokens), endToken, computeUnits);
}

}  // namespace mlruntime
