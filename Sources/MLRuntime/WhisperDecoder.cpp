#include "MLRuntime/WhisperDecoder.hpp"

#include <cmath>
#include <cstring>

#include "MLRuntime/Kernels.hpp"

namespace mlruntime::whisper {

using namespace kernels;

namespace {

// Rows of several [*, cols] tensors stacked into one matrix, kept as half when all are half.
StepMatrix loadMatrix(const WeightsFile& file, const std::vector<std::string>& names, int64_t rows, int64_t cols) {
    StepMatrix m;
    m.rows = static_cast<size_t>(rows) * names.size();
    m.cols = static_cast<size_t>(cols);
    bool allHalf = true;
    for (const auto& name : names) allHalf = allHalf && file.require(name, {rows, cols}).dataType == DataType::Float16;
    for (const auto& name : names) {
        if (allHalf) {
            auto part = file.halves(name, {rows, cols});
            m.half.insert(m.half.end(), part.begin(), part.end());
        } else {
            auto part = file.floats(name, {rows, cols});
            m.full.insert(m.full.end(), part.begin(), part.end());
        }
    }
    return m;
}

}  // namespace

void StepMatrix::multiply(const ThreadBudget::Lease& lease, const float* x, const float* bias, float* y) const {
    if (!half.empty()) matvec(lease, half.data(), rows, cols, x, bias, y);
    else matvec(lease, full.data(), rows, cols, x, bias, y);
}

void StepMatrix::row(size_t r, float* out) const {
    if (!half.empty()) halfToFloat(half.data() + r * cols, out, cols);
    else std::memcpy(out, full.data() + r * cols, cols * sizeof(float));
}

WhisperDecoder::WhisperDecoder(const DecoderConfig& config, const WeightsFile& file) : config_(config) {
    const int64_t d = config.width;
    tokenEmbedding_ = loadMatrix(file, {TOKEN_EMBEDDING}, config.vocab, d);
    positions_ = file.floats(POSITIONAL_EMBEDDING, {config.textContext, d});
    for (int64_t l = 0; l < config.layers; ++l) {
        Layer layer;
        auto a = attentionNames(l, "attn");
        layer.lnWeight = file.floats(a.lnWeight, {d});
        layer.lnBias = file.floats(a.lnBias, {d});
        layer.qkv = loadMatrix(file, {a.queryWeight, a.keyWeight, a.valueWeight}, d, d);
        layer.qkvBias = file.floats(a.queryBias, {d});
        layer.qkvBias.resize(static_cast<size_t>(2 * d), 0.0f);
        auto valueBias = file.floats(a.valueBias, {d});
        layer.qkvBias.insert(layer.qkvBias.end(), valueBias.begin(), valueBias.end());
        layer.out = loadMatrix(file, {a.outWeight}, d, d);
        layer.outBias = file.floats(a.outBias, {d});
        auto c = attentionNames(l, "cross_attn");
        layer.crossLnWeight = file.floats(c.lnWeight, {d});
        layer.crossLnBias = file.floats(c.lnBias, {d});
        layer.crossQuery = loadMatrix(file, {c.queryWeight}, d, d);
        layer.crossQueryBias = file.floats(c.queryBias, {d});
        layer.crossKeyWeight = file.floats(c.keyWeight, {d, d});
        layer.crossValueWeight = file.floats(c.valueWeight, {d, d});
        layer.crossValueBias = file.floats(c.valueBias, {d});
        layer.crossOut = loadMatrix(file, {c.outWeight}, d, d);
        layer.crossOutBias = file.floats(c.outBias, {d});
        auto m = mlpNames(l);
        layer.mlpLnWeight = file.floats(m.lnWeight, {d});
        layer.mlpLnBias = file.floats(m.lnBias, {d});
        layer.fc1 = loadMatrix(file, {m.fc1Weight}, 4 * d, d);
        layer.fc1Bias = file.floats(m.fc1Bias, {4 * d});
        layer.fc2 = loadMatrix(file, {m.fc2Weight}, d, 4 * d);
        layer.fc2Bias = file.floats(m.fc2Bias, {d});
        layer.crossKeys.resize(static_cast<size_t>(config.audioContext * d));
        layer.crossValuesT.resize(layer.crossKeys.size());
        layers_.push_back(std::move(layer));
    }
    lnPostWeight_ = file.floats(LN_POST_WEIGHT, {d});
    lnPostBias_ = file.floats(LN_POST_BIAS, {d});
    alignmentHead_.assign(static_cast<size_t>(config.layers), std::vector<bool>(static_cast<size_t>(config.heads), false));
    for (auto [layer, head] : config.alignmentHeads) alignmentHead_[layer][head] = true;

    const size_t W = static_cast<size_t>(config.audioContext), S = static_cast<size_t>(config.textContext);
    const size_t width = static_cast<size_t>(d);
    encoderT_.resize(W * width);
    crossTmp_.resize(W * width);
    x_.resize(width);
    h_.resize(width);
    qkv_.resize(3 * width);
    attn_.resize(width);
    hidden_.resize(4 * width);
    scores_.resize(static_cast<size_t>(config.heads) * std::max(W, S));
    cacheRows_.resize(2 * width * S);
}

void WhisperDecoder::setEncoderOutput(const ThreadBudget::Lease& lease, const MultiArray& array) {
    const size_t d = static_cast<size_t>(config_.width), W = static_cast<size_t>(config_.audioContext);
    // A contiguous array is compared as it is; anything else through a contiguous copy.
    MultiArray contiguous = array.isContiguous() ? array : array.clone();
    const auto* bytes = static_cast<const uint8_t*>(contiguous.data());
    const size_t byteCount = static_cast<size_t>(contiguous.count()) * traits(contiguous.dataType()).size;
    if (haveEncoder_ && encoderType_ == contiguous.dataType() && encoderBytes_.size() == byteCount &&
        std::memcmp(encoderBytes_.data(), bytes, byteCount) == 0)
        return;
    haveEncoder_ = false;  // stays false if anything below is interrupted
    encoderBytes_.assign(bytes, bytes + byteCount);
    encoderType_ = contiguous.dataType();
    std::vector<float> converted;
    const float* encoder = nullptr;
    if (contiguous.dataType() == DataType::Float32) {
        encoder = contiguous.typedData<float>();
    } else {
        converted = contiguous.toFloats();
        encoder = converted.data();
    }
    lease.parallelFor(W, 0, [&](size_t begin, size_t end) {
        for (size_t t = begin; t < end; ++t)
            for (size_t c = 0; c < d; ++c) encoderT_[t * d + c] = encoder[c * W + t];
    });
    for (auto& layer : layers_) {
        linear(lease, encoderT_.data(), W, d, d, layer.crossKeyWeight.data(), nullptr, d, layer.crossKeys.data(), d);
        linear(lease, encoderT_.data(), W, d, d, layer.crossValueWeight.data(), layer.crossValueBias.data(), d,
               crossTmp_.data(), d);
        lease.parallelFor(d, 0, [&](size_t begin, size_t end) {
            for (size_t c = begin; c < end; ++c)
                for (size_t t = 0; t < W; ++t) layer.crossValuesT[c * W + t] = crossTmp_[t * d + c];
        });
    }
    haveEncoder_ = true;
}

void WhisperDecoder::step(const ThreadBudget::Lease& lease, const DecoderStepInput& in, DecoderStepOutput& out) {
    const size_t d = static_cast<size_t>(config_.width), heads = static_cast<size_t>(config_.heads);
    const size_t dh = d / heads, S = static_cast<size_t>(config_.textContext);
    const size_t W = static_cast<size_t>(config_.audioContext), L = layers_.size();
    const float scale = 1.0f / std::sqrt(static_cast<float>(dh));
    out.logits.resize(static_cast<size_t>(config_.vocab));
    out.keys.resize(L * d);
    out.values.resize(L * d);
    out.alignment.assign(W, 0.0f);
    size_t alignmentCount = 0;

    tokenEmbedding_.row(static_cast<size_t>(in.token), x_.data());
    addInPlace(x_.data(), positions_.data() + static_cast<size_t>(in.position) * d, d);

    for (size_t l = 0; l < L; ++l) {
        Layer& layer = layers_[l];
        // Self-attention over the cache.
        layerNormRow(x_.data(), d, layer.lnWeight.data(), layer.lnBias.data(), h_.data());
        layer.qkv.multiply(lease, h_.data(), layer.qkvBias.data(), qkv_.data());
        const float* q = qkv_.data();
        const float* k = qkv_.data() + d;
        const float* v = qkv_.data() + 2 * d;
        std::memcpy(out.keys.data() + l * d, k, d * sizeof(float));
        std::memcpy(out.values.data() + l * d, v, d * sizeof(float));
        lease.parallelFor(heads, 1, [&](size_t begin, size_t end) {
            for (size_t h = begin; h < end; ++h) {
                float* s = scores_.data() + h * S;
                float* keyRows = cacheRows_.data() + h * dh * S;
                float* valueRows = cacheRows_.data() + d * S + h * dh * S;
                size_t channel0 = l * d + h * dh;
                halfToFloat(in.keyCache + channel0 * S, keyRows, dh * S);
                halfToFloat(in.valueCache + channel0 * S, valueRows, dh * S);
                std::fill(s, s + S, 0.0f);
                for (size_t j = 0; j < dh; ++j) {
                    float qj = q[h * dh + j];
                    const float* row = keyRows + j * S;
                    for (size_t p = 0; p < S; ++p) s[p] += qj * row[p];
                }
                float own = dot(q + h * dh, k + h * dh, dh);
                for (size_t p = 0; p < S; ++p) {
                    if (in.updateMask[p] != 0) s[p] = own;
                    s[p] = s[p] * scale + in.paddingMask[p];
                }
                softmaxInPlace(s, S);
                float ownWeight = 0;
                for (size_t p = 0; p < S; ++p)
                    if (in.updateMask[p] != 0) {
                        ownWeight += s[p];
                        s[p] = 0.0f;
                    }
                for (size_t j = 0; j < dh; ++j)
                    attn_[h * dh + j] = dot(s, valueRows + j * S, S) + ownWeight * v[h * dh + j];
            }
        });
        layer.out.multiply(lease, attn_.data(), layer.outBias.data(), h_.data());
        addInPlace(x_.data(), h_.data(), d);

        // Cross-attention over the encoder output.
        layerNormRow(x_.data(), d, layer.crossLnWeight.data(), layer.crossLnBias.data(), h_.data());
        layer.crossQuery.multiply(lease, h_.data(), layer.crossQueryBias.data(), qkv_.data());
        const float* cq = qkv_.data();
        lease.parallelFor(W, 128, [&](size_t begin, size_t end) {
            for (size_t t = begin; t < end; ++t)
                for (size_t h = 0; h < heads; ++h)
                    scores_[h * W + t] = dot(cq + h * dh, layer.crossKeys.data() + t * d + h * dh, dh) * scale;
        });
        lease.parallelFor(heads, 1, [&](size_t begin, size_t end) {
            for (size_t h = begin; h < end; ++h) softmaxInPlace(scores_.data() + h * W, W);
        });
        for (size_t h = 0; h < heads; ++h)
            if (alignmentHead_[l][h]) {
                addInPlace(out.alignment.data(), scores_.data() + h * W, W);
                ++alignmentCount;
            }
        lease.parallelFor(d, 16, [&](size_t begin, size_t end) {
            for (size_t c = begin; c < end; ++c)
                attn_[c] = dot(scores_.data() + (c / dh) * W, layer.crossValuesT.data() + c * W, W);
        });
        layer.crossOut.multiply(lease, attn_.data(), layer.crossOutBias.data(), h_.data());
        addInPlace(x_.data(), h_.data(), d);

        // MLP.
        layerNormRow(x_.data(), d, layer.mlpLnWeight.data(), layer.mlpLnBias.data(), h_.data());
        layer.fc1.multiply(lease, h_.data(), layer.fc1Bias.data(), hidden_.data());
        geluInPlace(hidden_.data(), 4 * d);
        layer.fc2.multiply(lease, hidden_.data(), layer.fc2Bias.data(), h_.data());
        addInPlace(x_.data(), h_.data(), d);
    }
    if (alignmentCount > 0)
        for (auto& value : out.alignment) value /= static_cast<float>(alignmentCount);
    layerNormRow(x_.data(), d, lnPostWeight_.data(), lnPostBias_.data(), h_.data());
    tokenEmbedding_.multiply(lease, h_.data(), nullptr, out.logits.data());
}

}  // namespace mlruntime::whisper
