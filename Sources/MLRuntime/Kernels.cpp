#include "MLRuntime/Kernels.hpp"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace mlruntime::kernels {

namespace {

// Rows per sgemm call: big enough that re-packing the weight for each block stays cheap, small
// enough that every thread gets a few blocks.
size_t rowBlock(size_t rows, int threads) {
    size_t perThread = (rows + static_cast<size_t>(threads) - 1) / static_cast<size_t>(threads);
    size_t block = std::max<size_t>(32, (perThread + 1) / 2);
    return std::min(rows, (block + 7) / 8 * 8);
}

// Rows of a matrix-vector product per task: about 64k weights each.
size_t matvecGrain(size_t rows, size_t cols) {
    size_t grain = std::max<size_t>(8, 65536 / std::max<size_t>(1, cols));
    return std::min(rows, grain);
}

}  // namespace

void linear(const ThreadBudget::Lease& lease, const float* a, size_t rows, size_t inWidth, size_t lda,
            const float* weight, const float* bias, size_t outWidth, float* c, size_t ldc, Epilogue epilogue) {
    if (rows == 0 || outWidth == 0) return;
    lease.parallelFor(rows, rowBlock(rows, lease.threads()), [&](size_t begin, size_t end) {
        auto m = static_cast<blasint>(end - begin);
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, m, static_cast<blasint>(outWidth),
                    static_cast<blasint>(inWidth), 1.0f, a + begin * lda, static_cast<blasint>(lda), weight,
                    static_cast<blasint>(inWidth), epilogue == Epilogue::accumulate ? 1.0f : 0.0f, c + begin * ldc, static_cast<blasint>(ldc));
        for (size_t r = begin; r < end; ++r) {
            float* row = c + r * ldc;
            if (bias != nullptr) addInPlace(row, bias, outWidth);
            if (epilogue == Epilogue::gelu) geluInPlace(row, outWidth);
        }
    });
}

void matvec(const ThreadBudget::Lease& lease, const float* weight, size_t rows, size_t cols, const float* x,
            const float* bias, float* y) {
    lease.parallelFor(rows, matvecGrain(rows, cols), [&](size_t begin, size_t end) {
        for (size_t r = begin; r < end; ++r) y[r] = dot(weight + r * cols, x, cols) + (bias ? bias[r] : 0.0f);
    });
}

void matvec(const ThreadBudget::Lease& lease, const Half* weight, size_t rows, size_t cols, const float* x,
            const float* bias, float* y) {
    lease.parallelFor(rows, matvecGrain(rows, cols), [&](size_t begin, size_t end) {
        for (size_t r = begin; r < end; ++r) y[r] = dot(weight + r * cols, x, cols) + (bias ? bias[r] : 0.0f);
    });
}

void layerNorm(const ThreadBudget::Lease& lease, const float* x, size_t rows, size_t width, const float* gamma,
               const float* beta, float* y, float eps) {
    lease.parallelFor(rows, 0, [&](size_t begin, size_t end) {
        for (size_t r = begin; r < end; ++r) layerNormRow(x + r * width, width, gamma, beta, y + r * width, eps);
    });
}

void attention(const ThreadBudget::Lease& lease, const float* q, const float* k, const float* v, size_t ld,
               size_t queryCount, size_t keyCount, size_t headCount, size_t headDim, float* out, size_t ldOut) {
    // One task is one head over a block of query rows; its scores (block x keyCount) stay in the
    // thread's cache, softmax is applied in place, then multiplied by the head's values.
    const size_t block = 64;
    const size_t blocksPerHead = (queryCount + block - 1) / block;
    const float scale = 1.0f / std::sqrt(static_cast<float>(headDim));
    lease.parallelFor(headCount * blocksPerHead, 1, [&](size_t begin, size_t end) {
        thread_local std::vector<float> scores;
        if (scores.size() < block * keyCount) scores.resize(block * keyCount);
        for (size_t task = begin; task < end; ++task) {
            size_t head = task / blocksPerHead;
            size_t row0 = (task % blocksPerHead) * block;
            size_t count = std::min(block, queryCount - row0);
            size_t column = head * headDim;
            cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<blasint>(count),
                        static_cast<blasint>(keyCount), static_cast<blasint>(headDim), scale, q + row0 * ld + column,
                        static_cast<blasint>(ld), k + column, static_cast<blasint>(ld), 0.0f, scores.data(),
                        static_cast<blasint>(keyCount));
            for (size_t r = 0; r < count; ++r) softmaxInPlace(scores.data() + r * keyCount, keyCount);
            cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, static_cast<blasint>(count),
                        static_cast<blasint>(headDim), static_cast<blasint>(keyCount), 1.0f, scores.data(),
                        static_cast<blasint>(keyCount), v + column, static_cast<blasint>(ld), 0.0f,
                        out + row0 * ldOut + column, static_cast<blasint>(ldOut));
        }
    });
}

void conv1dK3(const ThreadBudget::Lease& lease, const float* input, size_t timeIn, size_t cIn,
              const float* weightKMajor, const float* bias, size_t cOut, size_t stride, float* columns,
              float* out, Epilogue epilogue) {
    const size_t timeOut = (timeIn - 1) / stride + 1;
    const size_t width = 3 * cIn;
    lease.parallelFor(timeOut, 0, [&](size_t begin, size_t end) {
        for (size_t t = begin; t < end; ++t) {
            float* row = columns + t * width;
            for (size_t k = 0; k < 3; ++k) {
                long source = static_cast<long>(t * stride + k) - 1;
                if (source < 0 || source >= static_cast<long>(timeIn))
                    std::memset(row + k * cIn, 0, cIn * sizeof(float));
                else
                    std::memcpy(row + k * cIn, input + static_cast<size_t>(source) * cIn, cIn * sizeof(float));
            }
        }
    });
    linear(lease, columns, timeOut, width, width, weightKMajor, bias, cOut, out, cOut, epilogue);
}

}  // namespace mlruntime::kernels
