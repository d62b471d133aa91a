#pragma once

#include <cstddef>

#include "MLRuntime/Half.hpp"
#include "MLRuntime/ThreadBudget.hpp"

// Compute kernels of the model runtime. Matrices are row-major float32 unless said otherwise;
// weight matrices of linear layers are [out, in] (one row per output). Functions taking a Lease
// spread their work over its threads; all others run on the calling thread. None allocates on the
// hot path except the per-thread scratch of attention, kept for the thread's lifetime. All are
// thread-safe as long as callers do not write the same output buffers.
namespace mlruntime::kernels {

// Element-wise work applied to a linear layer's output while it is still in cache.
// accumulate: C += A W^T + bias (the product is added to what C holds, as for a residual).
enum class Epilogue { none, gelu, accumulate };

// C[m, n] = sum_k A[m, k] * W[n, k] + bias[n] (bias may be null), then the epilogue. A has row
// stride lda, C row stride ldc. Uses OpenBLAS sgemm on blocks spread over the lease: as many
// blocks as the lease has threads, or `blocks` when given (sgemm may round a block's sums
// differently by its shape, so a fixed count gives the same result on any number of threads).
void linear(const ThreadBudget::Lease& lease, const float* a, size_t rows, size_t inWidth, size_t lda,
            const float* weight, const float* bias, size_t outWidth, float* c, size_t ldc,
            Epilogue epilogue = Epilogue::none, int blocks = 0);

// y[r] = dot(W[r, :], x) + bias[r] (bias may be null) for float32 or half weights. Bound by
// memory bandwidth: rows are spread over the lease, weights are read once.
void matvec(const ThreadBudget::Lease& lease, const float* weight, size_t rows, size_t cols, const float* x,
            const float* bias, float* y);
void matvec(const ThreadBudget::Lease& lease, const Half* weight, size_t rows, size_t cols, const float* x,
            const float* bias, float* y);

// Dot products of n values (vectorised where the CPU allows).
float dot(const float* a, const float* b, size_t n) noexcept;
float dot(const Half* a, const float* b, size_t n) noexcept;

// y = (x - mean) / sqrt(var + eps) * gamma + beta per row of `width` values; x and y may alias.
void layerNorm(const ThreadBudget::Lease& lease, const float* x, size_t rows, size_t width, const float* gamma,
               const float* beta, float* y, float eps = 1e-5f);
void layerNormRow(const float* x, size_t width, const float* gamma, const float* beta, float* y,
                  float eps = 1e-5f) noexcept;

// x = x * 0.5 * (1 + erf(x / sqrt 2)) in place (erf to about 2e-7 absolute).
void geluInPlace(float* x, size_t n) noexcept;

// exp of every element in place (relative error about 2e-7; results below 1e-38 flush to tiny
// positive values).
void expInPlace(float* x, size_t n) noexcept;

// Softmax of one row in place: exp(x - max) / sum.
void softmaxInPlace(float* x, size_t n) noexcept;

// y += x, n elements.
void addInPlace(float* y, const float* x, size_t n) noexcept;

// Multi-head attention without mask over a whole sequence, computed per head in blocks of query
// rows so that no full score matrix is ever held. Head h of query row i lies at
// q[i * ld + h * headDim]; keys and values likewise (k, v with the same row stride `ld`). Writes
// out[i * ldOut + h * headDim + j]. Scores are scaled by 1/sqrt(headDim).
void attention(const ThreadBudget::Lease& lease, const float* q, const float* k, const float* v, size_t ld,
               size_t queryCount, size_t keyCount, size_t headCount, size_t headDim, float* out, size_t ldOut);

// One-dimensional convolution with kernel 3 and padding 1 over a time-major input [timeIn, cIn]:
// out[t, o] = bias[o] + sum_{k, c} W[o, k, c] * in[t * stride + k - 1, c] (zero outside), with
// the weight already in [cOut, 3, cIn] order. `columns` is caller-owned scratch of
// timeOut * 3 * cIn floats. timeOut = (timeIn - 1) / stride + 1.
void conv1dK3(const ThreadBudget::Lease& lease, const float* input, size_t timeIn, size_t cIn,
              const float* weightKMajor, const float* bias, size_t cOut, size_t stride, float* columns,
              float* out, Epilogue epilogue = Epilogue::none);

}  // namespace mlruntime::kernels
