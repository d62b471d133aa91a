#include "MLRuntime/WhisperDecoder.hpp"

#include <algorithm>
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
        layers_.push_back(std::move(layer));
    }
    lnPostWeight_ = file.floats(LN_POST_WEIGHT, {d});
    lnPostBias_ = file.floats(LN_POST_BIAS, {d});
    alignmentHead_.assign(static_cast<size_t>(config.layers), std::vector<bool>(static_cast<size_t>(config.heads), false));
    for (auto [layer, head] : config.alignmentHeads) alignmentHead_[layer][head] = true;
}

namespace {

// Blocks of the cross-attention key and value products: enough to spread over the threads a
// step gets.
constexpr int CROSS_BLOCKS = 8;

// A contiguous array as it is; anything else as a contiguous copy.
MultiArray contiguousEncoder(const MultiArray& array) { return array.isContiguous() ? array : array.clone(); }

}  // namespace

bool WhisperDecoder::Context::holds(const MultiArray& array) const {
    if (!haveEncoder || encoderType != array.dataType()) return false;
    MultiArray contiguous = contiguousEncoder(array);
    const size_t byteCount = static_cast<size_t>(contiguous.count()) * traits(contiguous.dataType()).size;
    return encoderBytes.size() == byteCount && std::memcmp(encoderBytes.data(), contiguous.data(), byteCount) == 0;
}

size_t WhisperDecoder::Context::bytes() const noexcept {
    size_t floats = 0;
    for (const auto& keys : crossKeys) floats += keys.size();
    for (const auto& values : crossValuesT) floats += values.size();
    for (const auto* scratch : {&encoderT, &crossTmp, &x, &h, &qkv, &attn, &hidden, &scores, &cacheRows})
        floats += scratch->size();
    // The copy of the encoder output it holds: at most one float per value.
    floats += encoderT.size();
    return floats * sizeof(float);
}

std::unique_ptr<WhisperDecoder::Context> WhisperDecoder::makeContext() const {
    const size_t W = static_cast<size_t>(config_.audioContext), S = static_cast<size_t>(config_.textContext);
    const size_t width = static_cast<size_t>(config_.width);
    auto context = std::make_unique<Context>();
    context->crossKeys.assign(layers_.size(), std::vector<float>(W * width));
    context->crossValuesT.assign(layers_.size(), std::vector<float>(W * width));
    context->encoderT.resize(W * width);
    context->crossTmp.resize(W * width);
    context->x.resize(width);
    context->h.resize(width);
    context->qkv.resize(3 * width);
    context->attn.resize(width);
    context->hidden.resize(4 * width);
    context->scores.resize(static_cast<size_t>(config_.heads) * std::max(W, S));
    context->cacheRows.resize(2 * width * S);
    return context;
}

void WhisperDecoder::setEncoderOutput(const ThreadBudget::Lease& lease, Context& context, const MultiArray& array) const {
    const size_t d = static_cast<size_t>(config_.width), W = static_cast<size_t>(config_.audioContext);
    if (context.holds(array)) return;
    MultiArray contiguous = contiguousEncoder(array);
    const auto* bytes = static_cast<const uint8_t*>(contiguous.data());
    const size_t byteCount = static_cast<size_t>(contiguous.count()) * traits(contiguous.dataType()).size;
    context.haveEncoder = false;  // stays false if anything below is interrupted
    context.encoderBytes.assign(bytes, bytes + byteCount);
    context.encoderType = contiguous.dataType();
    std::vector<float> converted;
    const float* encoder = nullptr;
    if (contiguous.dataType() == DataType::Float32) {
        encoder = contiguous.typedData<float>();
    } else {
        converted = contiguous.toFloats();
        encoder = converted.data();
    }
    float* encoderT = context.encoderT.data();
    lease.parallelFor(W, 0, [&](size_t begin, size_t end) {
        for (size_t t = begin; t < end; ++t)
            for (size_t c = 0; c < d; ++c) encoderT[t * d + c] = encoder[c * W + t];
    });
    for (size_t l = 0; l < layers_.size(); ++l) {
        const Layer& layer = layers_[l];
        float* crossTmp = context.crossTmp.data();
        float* valuesT = context.crossValuesT[l].data();
        // Blocks fixed in number: the keys and values, and so the decoded text, do not depend on
        // how many threads the step had (which varies with the loops running at once).
        linear(lease, encoderT, W, d, d, layer.crossKeyWeight.data(), nullptr, d, context.crossKeys[l].data(), d,
               Epilogue::none, CROSS_BLOCKS);
        linear(lease, encoderT, W, d, d, layer.crossValueWeight.data(), layer.crossValueBias.data(), d, crossTmp, d,
               Epilogue::none, CROSS_BLOCKS);
        lease.parallelFor(d, 0, [&](size_t begin, size_t end) {
            for (size_t c = begin; c < end; ++c)
                for (size_t t = 0; t < W; ++t) valuesT[c * W + t] = crossTmp[t * d + c];
        });
    }
    context.haveEncoder = true;
}

void WhisperDecoder::step(const ThreadBudget::Lease& lease, Context& context, const DecoderStepInput& in,
                          DecoderStepOutput& out) const {
    const size_t d = static_cast<size_t>(config_.width), heads = static_cast<size_t>(config_.heads);
    const size_t dh = d / heads, S = static_cast<size_t>(config_.textContext);
    const size_t W = static_cast<size_t>(config_.audioContext), L = layers_.size();
    const float scale = 1.0f / std::sqrt(static_cast<float>(dh));
    float* x = context.x.data();
    float* work = context.h.data();
    float* qkv = context.qkv.data();
    float* attn = context.attn.data();
    float* hidden = context.hidden.data();
    float* scores = context.scores.data();
    float* cacheRows = context.cacheRows.data();
    out.logits.resize(static_cast<size_t>(config_.vocab));
    out.keys.resize(L * d);
    out.values.resize(L * d);
    out.alignment.assign(W, 0.0f);
    size_t alignmentCount = 0;

    tokenEmbedding_.row(static_cast<size_t>(in.token), x);
    addInPlace(x, positions_.data() + static_cast<size_t>(in.position) * d, d);

    for (size_t l = 0; l < L; ++l) {
        const Layer& layer = layers_[l];
        const std::vector<float>& crossKeys = context.crossKeys[l];
        const std::vector<float>& crossValuesT = context.crossValuesT[l];
        // Self-attention over the cache.
        layerNormRow(x, d, layer.lnWeight.data(), layer.lnBias.data(), work);
        layer.qkv.multiply(lease, work, layer.qkvBias.data(), qkv);
        const float* q = qkv;
        const float* k = qkv + d;
        const float* v = qkv + 2 * d;
        std::memcpy(out.keys.data() + l * d, k, d * sizeof(float));
        std::memcpy(out.values.data() + l * d, v, d * sizeof(float));
        lease.parallelFor(heads, 1, [&](size_t begin, size_t end) {
            for (size_t h = begin; h < end; ++h) {
                float* s = scores + h * S;
                float* keyRows = cacheRows + h * dh * S;
                float* valueRows = cacheRows + d * S + h * dh * S;
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
                    attn[h * dh + j] = dot(s, valueRows + j * S, S) + ownWeight * v[h * dh + j];
            }
        });
        layer.out.multiply(lease, attn, layer.outBias.data(), work);
        addInPlace(x, work, d);

        // Cross-attention over the encoder output.
        layerNormRow(x, d, layer.crossLnWeight.data(), layer.crossLnBias.data(), work);
        layer.crossQuery.multiply(lease, work, layer.crossQueryBias.data(), qkv);
        const float* cq = qkv;
        lease.parallelFor(W, 128, [&](size_t begin, size_t end) {
            for (size_t t = begin; t < end; ++t)
                for (size_t h = 0; h < heads; ++h)
                    scores[h * W + t] = dot(cq + h * dh, crossKeys.data() + t * d + h * dh, dh) * scale;
        });
        lease.parallelFor(heads, 1, [&](size_t begin, size_t end) {
            for (size_t h = begin; h < end; ++h) softmaxInPlace(scores + h * W, W);
        });
        for (size_t h = 0; h < heads; ++h)
            if (alignmentHead_[l][h]) {
                addInPlace(out.alignment.data(), scores + h * W, W);
                ++alignmentCount;
            }
        lease.parallelFor(d, 16, [&](size_t begin, size_t end) {
            for (size_t c = begin; c < end; ++c)
                attn[c] = dot(scores + (c / dh) * W, crossValuesT.data() + c * W, W);
        });
        layer.crossOut.multiply(lease, attn, layer.crossOutBias.data(), work);
        addInPlace(x, work, d);

        // MLP.
        layerNormRow(x, d, layer.mlpLnWeight.data(), layer.mlpLnBias.data(), work);
        layer.fc1.multiply(lease, work, layer.fc1Bias.data(), hidden);
        geluInPlace(hidden, 4 * d);
        layer.fc2.multiply(lease, hidden, layer.fc2Bias.data(), work);
        addInPlace(x, work, d);
    }
    if (alignmentCount > 0)
        for (auto& value : out.alignment) value /= static_cast<float>(alignmentCount);
    layerNormRow(x, d, lnPostWeight_.data(), lnPostBias_.data(), work);
    tokenEmbedding_.multiply(lease, work, nullptr, out.logits.data());
}

}  // namespace mlruntime::whisper
