#include "MLRuntime/WhisperEncoder.hpp"

#include <algorithm>
#include <mutex>

#include "MLRuntime/Kernels.hpp"
#include "MLRuntime/ModelFile.hpp"
#include "MLRuntime/WhisperModels.hpp"

namespace mlruntime::whisper {

namespace {

// [out, in, 3] -> [out, 3, in], the order the convolution's column buffer uses.
std::vector<float> kernelMajor(const std::vector<float>& weight, int64_t out, int64_t in) {
    std::vector<float> result(weight.size());
    for (int64_t o = 0; o < out; ++o)
        for (int64_t c = 0; c < in; ++c)
            for (int64_t k = 0; k < 3; ++k) result[(o * 3 + k) * in + c] = weight[(o * in + c) * 3 + k];
    return result;
}

}  // namespace

AttentionWeights loadAttention(const WeightsFile& file, const AttentionNames& n, int64_t d) {
    AttentionWeights w;
    w.lnWeight = file.floats(n.lnWeight, {d});
    w.lnBias = file.floats(n.lnBias, {d});
    w.qkvWeight.reserve(static_cast<size_t>(3 * d * d));
    for (const auto* name : {&n.queryWeight, &n.keyWeight, &n.valueWeight}) {
        auto part = file.floats(*name, {d, d});
        w.qkvWeight.insert(w.qkvWeight.end(), part.begin(), part.end());
    }
    w.qkvBias = file.floats(n.queryBias, {d});
    w.qkvBias.resize(static_cast<size_t>(2 * d), 0.0f);
    auto valueBias = file.floats(n.valueBias, {d});
    w.qkvBias.insert(w.qkvBias.end(), valueBias.begin(), valueBias.end());
    w.outWeight = file.floats(n.outWeight, {d, d});
    w.outBias = file.floats(n.outBias, {d});
    return w;
}

MlpWeights loadMlp(const WeightsFile& file, const MlpNames& n, int64_t d) {
    MlpWeights w;
    w.lnWeight = file.floats(n.lnWeight, {d});
    w.lnBias = file.floats(n.lnBias, {d});
    w.fc1Weight = file.floats(n.fc1Weight, {4 * d, d});
    w.fc1Bias = file.floats(n.fc1Bias, {4 * d});
    w.fc2Weight = file.floats(n.fc2Weight, {d, 4 * d});
    w.fc2Bias = file.floats(n.fc2Bias, {d});
    return w;
}

WhisperEncoder::WhisperEncoder(const EncoderConfig& config, const WeightsFile& file) : config_(config) {
    const int64_t d = config.width, mels = config.mels, ctx = config.audioContext, frames = 2 * ctx;
    conv1_ = kernelMajor(file.floats(CONV1_WEIGHT, {d, mels, 3}), d, mels);
    conv1Bias_ = file.floats(CONV1_BIAS, {d});
    conv2_ = kernelMajor(file.floats(CONV2_WEIGHT, {d, d, 3}), d, d);
    conv2Bias_ = file.floats(CONV2_BIAS, {d});
    positions_ = file.floats(POSITIONAL_EMBEDDING, {ctx, d});
    for (int64_t layer = 0; layer < config.layers; ++layer) {
        attention_.push_back(loadAttention(file, attentionNames(layer, "attn"), d));
        mlp_.push_back(loadMlp(file, mlpNames(layer), d));
    }
    lnPostWeight_ = file.floats(LN_POST_WEIGHT, {d});
    lnPostBias_ = file.floats(LN_POST_BIAS, {d});

    melT_.resize(static_cast<size_t>(frames * mels));
    columns_.resize(static_cast<size_t>(std::max(frames * 3 * mels, ctx * 3 * d)));
    conv1Out_.resize(static_cast<size_t>(frames * d));
    x_.resize(static_cast<size_t>(ctx * d));
    h_.resize(x_.size());
    attn_.resize(x_.size());
    qkv_.resize(static_cast<size_t>(ctx * 3 * d));
    hidden_.resize(static_cast<size_t>(ctx * 4 * d));
}

void WhisperEncoder::encode(const ThreadBudget::Lease& lease, const float* mel, float* out) {
    using namespace kernels;
    const size_t d = static_cast<size_t>(config_.width), mels = static_cast<size_t>(config_.mels);
    const size_t ctx = static_cast<size_t>(config_.audioContext), frames = 2 * ctx;
    const size_t heads = static_cast<size_t>(config_.heads);
    lease.parallelFor(frames, 0, [&](size_t begin, size_t end) {
        for (size_t t = begin; t < end; ++t)
            for (size_t m = 0; m < mels; ++m) melT_[t * mels + m] = mel[m * frames + t];
    });
    lease.rebalance();
    conv1dK3(lease, melT_.data(), frames, mels, conv1_.data(), conv1Bias_.data(), d, 1, columns_.data(),
             conv1Out_.data(), Epilogue::gelu);
    lease.rebalance();
    conv1dK3(lease, conv1Out_.data(), frames, d, conv2_.data(), conv2Bias_.data(), d, 2, columns_.data(), x_.data(),
             Epilogue::gelu);
    addInPlace(x_.data(), positions_.data(), ctx * d);
    // Between the larger kernels a yielding lease hands threads to a decoder step that waits.
    for (size_t layer = 0; layer < attention_.size(); ++layer) {
        const auto& a = attention_[layer];
        lease.rebalance();
        layerNorm(lease, x_.data(), ctx, d, a.lnWeight.data(), a.lnBias.data(), h_.data());
        linear(lease, h_.data(), ctx, d, d, a.qkvWeight.data(), a.qkvBias.data(), 3 * d, qkv_.data(), 3 * d);
        lease.rebalance();
        attention(lease, qkv_.data(), qkv_.data() + d, qkv_.data() + 2 * d, 3 * d, ctx, ctx, heads, d / heads,
                  attn_.data(), d);
        lease.rebalance();
        linear(lease, attn_.data(), ctx, d, d, a.outWeight.data(), a.outBias.data(), d, x_.data(), d,
               Epilogue::accumulate);
        const auto& m = mlp_[layer];
        layerNorm(lease, x_.data(), ctx, d, m.lnWeight.data(), m.lnBias.data(), h_.data());
        lease.rebalance();
        linear(lease, h_.data(), ctx, d, d, m.fc1Weight.data(), m.fc1Bias.data(), 4 * d, hidden_.data(), 4 * d,
               Epilogue::gelu);
        lease.rebalance();
        linear(lease, hidden_.data(), ctx, 4 * d, 4 * d, m.fc2Weight.data(), m.fc2Bias.data(), d, x_.data(), d,
               Epilogue::accumulate);
    }
    lease.rebalance();
    layerNorm(lease, x_.data(), ctx, d, lnPostWeight_.data(), lnPostBias_.data(), h_.data());
    lease.parallelFor(d, 0, [&](size_t begin, size_t end) {
        for (size_t c = begin; c < end; ++c)
            for (size_t t = 0; t < ctx; ++t) out[c * ctx + t] = h_[t * d + c];
    });
}

namespace {

class WhisperEncoderModel : public Model {
public:
    WhisperEncoderModel(const EncoderConfig& config, const WeightsFile& file, ComputeUnits units)
        : Model(units), description_(encoderDescription(config)), encoder_(config, file),
          output_(static_cast<size_t>(config.width * config.audioContext)) {}

    const ModelDescription& description() const override { return description_; }

    std::shared_ptr<FeatureProvider> predict(const FeatureProvider& inputs) const override {
        description_.validateInputs(inputs);
        MultiArray input = inputs.requireMultiArray(MEL_FEATURES);
        std::lock_guard<std::mutex> lock(mutex_);
        const float* mel = floatsOf(input, input_);
        {
            auto lease = ThreadBudget::shared().acquire(0, ThreadBudget::Share::yields);
            encoder_.encode(lease, mel, output_.data());
        }
        const auto& c = encoder_.config();
        std::map<std::string, FeatureValue> features;
        features.emplace(ENCODER_OUTPUT, halfArray(output_.data(), {1, c.width, 1, c.audioContext}));
        return std::make_shared<DictionaryFeatureProvider>(std::move(features));
    }

private:
    ModelDescription description_;
    mutable std::mutex mutex_;
    mutable WhisperEncoder encoder_;     // guarded by mutex_
    mutable std::vector<float> output_;  // guarded by mutex_
    mutable std::vector<float> input_;   // guarded by mutex_
};

}  // namespace

}  // namespace mlruntime::whisper

namespace mlruntime {

std::shared_ptr<Model> makeWhisperEncoderModel(ModelFile& file, ComputeUnits computeUnits) {
    auto config = whisper::encoderConfig(file);
    file.checkDescription(whisper::encoderDescription(config));
    auto model = std::make_shared<whisper::WhisperEncoderModel>(config, file.weights(), computeUnits);
    file.closeWeights();
    return model;
}

}  // namespace mlruntime
