#include "MLRuntime/Kernels.hpp"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace mlruntime::kernels {

namespace {

// Tiles of a product: every sgemm call packs its slice of A and of the weight anew, so the tiles
// are chosen as square as the thread count allows (most multiply-adds per packed element).
struct Tiling {
    size_t rowsPerTile, colsPerTile, rowTiles, colTiles;
};

Tiling tiling(size_t rows, size_t cols, int threads) {
    Tiling best{rows, cols, 1, 1};
    double bestScore = -1;
    const size_t count = static_cast<size_t>(std::max(1, threads));
    for (size_t rowTiles = 1; rowTiles <= count; ++rowTiles) {
        if (count % rowTiles != 0) continue;
        size_t colTiles = count / rowTiles;
        size_t mb = (rows + rowTiles - 1) / rowTiles;
        size_t nb = (cols + colTiles - 1) / colTiles;
        nb = (nb + 15) / 16 * 16;  // whole vector registers per column slice
        if (mb == 0 || nb == 0) continue;
        double score = static_cast<double>(mb) * static_cast<double>(nb) / static_cast<double>(mb + nb);
        if (score > bestScore) {
            bestScore = score;
            best = {mb, nb, (rows + mb - 1) / mb, (cols + nb - 1) / nb};
        }
    }
    return best;
}

// Rows of a matrix-vector product per task: about 64k weights each.
size_t matvecGrain(size_t rows, size_t cols) {
    size_t grain = std::max<size_t>(8, 65536 / std::max<size_t>(1, cols));
    return std::min(rows, grain);
}

}  // namespace

void linear(const ThreadBudget::Lease& lease, const float* a, size_t rows, size_t inWidth, size_t lda,
            const float* weight, const float* bias, size_t outWidth, float* c, size_t ldc, Epilogue epilogue,
            int blocks) {
    if (rows == 0 || outWidth == 0) return;
    const Tiling t = tiling(rows, outWidth, blocks > 0 ? blocks : lease.threads());
    lease.parallelFor(t.rowTiles * t.colTiles, 1, [&](size_t begin, size_t end) {
        for (size_t tile = begin; tile < end; ++tile) {
            size_t row0 = (tile / t.colTiles) * t.rowsPerTile, col0 = (tile % t.colTiles) * t.colsPerTile;
            size_t m = std::min(t.rowsPerTile, rows - row0), n = std::min(t.colsPerTile, outWidth - col0);
            cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<blasint>(m), static_cast<blasint>(n),
                        static_cast<blasint>(inWidth), 1.0f, a + row0 * lda, static_cast<blasint>(lda),
                        weight + col0 * inWidth, static_cast<blasint>(inWidth),
                        epilogue == Epilogue::accumulate ? 1.0f : 0.0f, c + row0 * ldc + col0, static_cast<blasint>(ldc));
            for (size_t r = row0; r < row0 + m; ++r) {
                float* row = c + r * ldc + col0;
                if (bias != nullptr) addInPlace(row, bias + col0, n);
                if (epilogue == Epilogue::gelu) geluInPlace(row, n);
            }
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
    // Blocks of up to ~192 query rows, evenly sized: a block's scores (block x keyCount) stay in
    // L2, and the head's keys are packed once per block, so bigger blocks pack less.
    const size_t blocksPerHead = std::max<size_t>(1, (queryCount + 191) / 192);
    const size_t block = (queryCount + blocksPerHead - 1) / blocksPerHead;
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
