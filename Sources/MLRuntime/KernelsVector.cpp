// Vectorised element kernels: AVX-512 and AVX2/FMA paths chosen at run time, and a portable one.
// GCC 12 warns about the deliberately undefined pass-through operands inside its own AVX-512
// intrinsic headers; those warnings say nothing about this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "MLRuntime/KernelPath.hpp"
#include "MLRuntime/Kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#define TW_AVX2 __attribute__((target("avx2,fma,f16c")))
#define TW_AVX512 __attribute__((target("avx512f,avx2,fma,f16c")))
#endif

namespace mlruntime::kernels {

namespace {

inline float scalar(float v) noexcept { return v; }
inline float scalar(Half v) noexcept { return v.toFloat(); }

#if defined(__x86_64__)
// The path chosen at run time (KernelPath.hpp); a forced lower path is honoured the same way.
bool hasAVX2() noexcept { return kernelPath() >= KernelPath::avx2; }

TW_AVX2 inline float horizontalSum(__m256 v) noexcept {
    __m128 lo = _mm256_castps256_ps128(v);
    __m128 hi = _mm256_extractf128_ps(v, 1);
    lo = _mm_add_ps(lo, hi);
    lo = _mm_hadd_ps(lo, lo);
    lo = _mm_hadd_ps(lo, lo);
    return _mm_cvtss_f32(lo);
}

TW_AVX2 inline float horizontalMax(__m256 v) noexcept {
    __m128 lo = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    lo = _mm_max_ps(lo, _mm_movehl_ps(lo, lo));
    lo = _mm_max_ss(lo, _mm_shuffle_ps(lo, lo, 1));
    return _mm_cvtss_f32(lo);
}

// exp by range reduction to 2^n * p(r) with a degree-6 polynomial on [-ln2/2, ln2/2].
TW_AVX2 inline __m256 exp8(__m256 x) noexcept {
    x = _mm256_min_ps(x, _mm256_set1_ps(88.3762626647949f));
    x = _mm256_max_ps(x, _mm256_set1_ps(-87.3f));
    __m256 fx = _mm256_round_ps(_mm256_mul_ps(x, _mm256_set1_ps(1.44269504088896341f)),
                                _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    x = _mm256_fnmadd_ps(fx, _mm256_set1_ps(0.693359375f), x);
    x = _mm256_fnmadd_ps(fx, _mm256_set1_ps(-2.12194440e-4f), x);
    __m256 y = _mm256_set1_ps(1.9875691500E-4f);
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(1.3981999507E-3f));
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(8.3334519073E-3f));
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(4.1665795894E-2f));
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(1.6666665459E-1f));
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(5.0000001201E-1f));
    __m256 x2 = _mm256_mul_ps(x, x);
    y = _mm256_fmadd_ps(y, x2, _mm256_add_ps(x, _mm256_set1_ps(1.0f)));
    __m256i n = _mm256_add_epi32(_mm256_cvtps_epi32(fx), _mm256_set1_epi32(127));
    return _mm256_mul_ps(y, _mm256_castsi256_ps(_mm256_slli_epi32(n, 23)));
}

TW_AVX2 inline __m256 load8(const float* p) noexcept { return _mm256_loadu_ps(p); }
TW_AVX2 inline __m256 load8(const Half* p) noexcept {
    return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// Dot product of float32 or half weights with float32 values: four accumulators hide the FMA latency.
template <typename Weight>
TW_AVX2 float dotAVX2(const Weight* a, const float* b, size_t n) noexcept {
    __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps(), s2 = _mm256_setzero_ps(), s3 = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        s0 = _mm256_fmadd_ps(load8(a + i), _mm256_loadu_ps(b + i), s0);
        s1 = _mm256_fmadd_ps(load8(a + i + 8), _mm256_loadu_ps(b + i + 8), s1);
        s2 = _mm256_fmadd_ps(load8(a + i + 16), _mm256_loadu_ps(b + i + 16), s2);
        s3 = _mm256_fmadd_ps(load8(a + i + 24), _mm256_loadu_ps(b + i + 24), s3);
    }
    for (; i + 8 <= n; i += 8) s0 = _mm256_fmadd_ps(load8(a + i), _mm256_loadu_ps(b + i), s0);
    float sum = horizontalSum(_mm256_add_ps(_mm256_add_ps(s0, s1), _mm256_add_ps(s2, s3)));
    for (; i < n; ++i) sum += scalar(a[i]) * b[i];
    return sum;
}

TW_AVX2 void expAVX2(float* x, size_t n) noexcept {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(x + i, exp8(_mm256_loadu_ps(x + i)));
    if (i < n) {
        float tail[8] = {0};
        std::memcpy(tail, x + i, (n - i) * sizeof(float));
        _mm256_storeu_ps(tail, exp8(_mm256_loadu_ps(tail)));
        std::memcpy(x + i, tail, (n - i) * sizeof(float));
    }
}

TW_AVX2 void softmaxAVX2(float* x, size_t n) noexcept {
    __m256 vmax = _mm256_set1_ps(-INFINITY);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) vmax = _mm256_max_ps(vmax, _mm256_loadu_ps(x + i));
    float maxValue = horizontalMax(vmax);
    for (; i < n; ++i) maxValue = std::max(maxValue, x[i]);
    __m256 vm = _mm256_set1_ps(maxValue);
    __m256 vsum = _mm256_setzero_ps();
    i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256 e = exp8(_mm256_sub_ps(_mm256_loadu_ps(x + i), vm));
        _mm256_storeu_ps(x + i, e);
        vsum = _mm256_add_ps(vsum, e);
    }
    float sum = horizontalSum(vsum);
    for (; i < n; ++i) {
        x[i] = std::exp(x[i] - maxValue);
        sum += x[i];
    }
    __m256 scale = _mm256_set1_ps(1.0f / sum);
    i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(x + i, _mm256_mul_ps(_mm256_loadu_ps(x + i), scale));
    for (; i < n; ++i) x[i] /= sum;
}

// The same exp on sixteen lanes, for the softmax of attention (its largest element-wise cost).
TW_AVX512 inline __m512 exp16(__m512 x) noexcept {
    x = _mm512_min_ps(x, _mm512_set1_ps(88.3762626647949f));
    x = _mm512_max_ps(x, _mm512_set1_ps(-87.3f));
    __m512 fx = _mm512_roundscale_ps(_mm512_mul_ps(x, _mm512_set1_ps(1.44269504088896341f)),
                                     _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    x = _mm512_fnmadd_ps(fx, _mm512_set1_ps(0.693359375f), x);
    x = _mm512_fnmadd_ps(fx, _mm512_set1_ps(-2.12194440e-4f), x);
    __m512 y = _mm512_set1_ps(1.9875691500E-4f);
    y = _mm512_fmadd_ps(y, x, _mm512_set1_ps(1.3981999507E-3f));
    y = _mm512_fmadd_ps(y, x, _mm512_set1_ps(8.3334519073E-3f));
    y = _mm512_fmadd_ps(y, x, _mm512_set1_ps(4.1665795894E-2f));
    y = _mm512_fmadd_ps(y, x, _mm512_set1_ps(1.6666665459E-1f));
    y = _mm512_fmadd_ps(y, x, _mm512_set1_ps(5.0000001201E-1f));
    __m512 x2 = _mm512_mul_ps(x, x);
    y = _mm512_fmadd_ps(y, x2, _mm512_add_ps(x, _mm512_set1_ps(1.0f)));
    __m512i n = _mm512_add_epi32(_mm512_cvtps_epi32(fx), _mm512_set1_epi32(127));
    return _mm512_mul_ps(y, _mm512_castsi512_ps(_mm512_slli_epi32(n, 23)));
}

TW_AVX512 void softmaxAVX512(float* x, size_t n) noexcept {
    __m512 vmax = _mm512_set1_ps(-INFINITY);
    size_t i = 0;
    for (; i + 16 <= n; i += 16) vmax = _mm512_max_ps(vmax, _mm512_loadu_ps(x + i));
    float maxValue = _mm512_reduce_max_ps(vmax);
    for (; i < n; ++i) maxValue = std::max(maxValue, x[i]);
    __m512 vm = _mm512_set1_ps(maxValue);
    __m512 vsum = _mm512_setzero_ps();
    i = 0;
    for (; i + 16 <= n; i += 16) {
        __m512 e = exp16(_mm512_sub_ps(_mm512_loadu_ps(x + i), vm));
        _mm512_storeu_ps(x + i, e);
        vsum = _mm512_add_ps(vsum, e);
    }
    if (i < n) {
        __mmask16 mask = static_cast<__mmask16>((1u << (n - i)) - 1);
        __m512 e = exp16(_mm512_sub_ps(_mm512_maskz_loadu_ps(mask, x + i), vm));
        _mm512_mask_storeu_ps(x + i, mask, e);
        vsum = _mm512_add_ps(vsum, _mm512_maskz_mov_ps(mask, e));
    }
    __m512 scale = _mm512_set1_ps(1.0f / _mm512_reduce_add_ps(vsum));
    i = 0;
    for (; i + 16 <= n; i += 16) _mm512_storeu_ps(x + i, _mm512_mul_ps(_mm512_loadu_ps(x + i), scale));
    if (i < n) {
        __mmask16 mask = static_cast<__mmask16>((1u << (n - i)) - 1);
        _mm512_mask_storeu_ps(x + i, mask, _mm512_mul_ps(_mm512_maskz_loadu_ps(mask, x + i), scale));
    }
}

// erf(z) for z >= 0 by Abramowitz and Stegun 7.1.26, sign restored afterwards.
TW_AVX2 inline __m256 gelu8(__m256 x) noexcept {
    const __m256 signMask = _mm256_set1_ps(-0.0f);
    __m256 z = _mm256_mul_ps(x, _mm256_set1_ps(0.70710678118654752f));
    __m256 az = _mm256_andnot_ps(signMask, z);
    __m256 t = _mm256_div_ps(_mm256_set1_ps(1.0f), _mm256_fmadd_ps(az, _mm256_set1_ps(0.3275911f), _mm256_set1_ps(1.0f)));
    __m256 p = _mm256_set1_ps(1.061405429f);
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(-1.453152027f));
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(1.421413741f));
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(-0.284496736f));
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(0.254829592f));
    p = _mm256_mul_ps(p, t);
    __m256 e = exp8(_mm256_sub_ps(_mm256_setzero_ps(), _mm256_mul_ps(az, az)));
    __m256 erfAbs = _mm256_fnmadd_ps(p, e, _mm256_set1_ps(1.0f));
    __m256 erf = _mm256_or_ps(erfAbs, _mm256_and_ps(z, signMask));
    return _mm256_mul_ps(_mm256_mul_ps(x, _mm256_set1_ps(0.5f)), _mm256_add_ps(erf, _mm256_set1_ps(1.0f)));
}

// Sum of x and sum of (x - mean)^2 for LayerNorm, eight lanes at a time.
TW_AVX2 float sumAVX2(const float* x, size_t n) noexcept {
    __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        s0 = _mm256_add_ps(s0, _mm256_loadu_ps(x + i));
        s1 = _mm256_add_ps(s1, _mm256_loadu_ps(x + i + 8));
    }
    for (; i + 8 <= n; i += 8) s0 = _mm256_add_ps(s0, _mm256_loadu_ps(x + i));
    float sum = horizontalSum(_mm256_add_ps(s0, s1));
    for (; i < n; ++i) sum += x[i];
    return sum;
}

TW_AVX2 float squaredDeviationAVX2(const float* x, size_t n, float mean) noexcept {
    const __m256 m = _mm256_set1_ps(mean);
    __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m256 d0 = _mm256_sub_ps(_mm256_loadu_ps(x + i), m), d1 = _mm256_sub_ps(_mm256_loadu_ps(x + i + 8), m);
        s0 = _mm256_fmadd_ps(d0, d0, s0);
        s1 = _mm256_fmadd_ps(d1, d1, s1);
    }
    for (; i + 8 <= n; i += 8) {
        __m256 d = _mm256_sub_ps(_mm256_loadu_ps(x + i), m);
        s0 = _mm256_fmadd_ps(d, d, s0);
    }
    float sum = horizontalSum(_mm256_add_ps(s0, s1));
    for (; i < n; ++i) sum += (x[i] - mean) * (x[i] - mean);
    return sum;
}

TW_AVX2 void geluAVX2(float* x, size_t n) noexcept {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(x + i, gelu8(_mm256_loadu_ps(x + i)));
    for (; i < n; ++i) x[i] = 0.5f * x[i] * (1.0f + std::erf(x[i] * 0.70710678118654752f));
}
#endif

// The portable dot product has no fused multiply-add to keep its products exact, so it sums in
// double: decoder logits are small differences of large terms, and a float sum there drifts ten
// times further from the exact value than the vector paths do.
template <typename Weight>
float dotScalar(const Weight* a, const float* b, size_t n) noexcept {
    double s0 = 0, s1 = 0;
    size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        s0 += static_cast<double>(scalar(a[i])) * b[i];
        s1 += static_cast<double>(scalar(a[i + 1])) * b[i + 1];
    }
    if (i < n) s0 += static_cast<double>(scalar(a[i])) * b[i];
    return static_cast<float>(s0 + s1);
}

}  // namespace

float dot(const float* a, const float* b, size_t n) noexcept {
#if defined(__x86_64__)
    if (hasAVX2()) return dotAVX2(a, b, n);
#endif
    return dotScalar(a, b, n);
}

float dot(const Half* a, const float* b, size_t n) noexcept {
#if defined(__x86_64__)
    if (hasAVX2()) return dotAVX2(a, b, n);
#endif
    return dotScalar(a, b, n);
}

void expInPlace(float* x, size_t n) noexcept {
#if defined(__x86_64__)
    if (hasAVX2()) return expAVX2(x, n);
#endif
    for (size_t i = 0; i < n; ++i) x[i] = std::exp(x[i]);
}

void softmaxInPlace(float* x, size_t n) noexcept {
    if (n == 0) return;
#if defined(__x86_64__)
    const KernelPath path = kernelPath();
    if (path == KernelPath::avx512) return softmaxAVX512(x, n);
    if (path == KernelPath::avx2) return softmaxAVX2(x, n);
#endif
    float maxValue = x[0];
    for (size_t i = 1; i < n; ++i) maxValue = std::max(maxValue, x[i]);
    double sum = 0;  // one float accumulator over a 1,500-key row would lose the last digits
    for (size_t i = 0; i < n; ++i) {
        x[i] = std::exp(x[i] - maxValue);
        sum += x[i];
    }
    const float inverse = static_cast<float>(1.0 / sum);
    for (size_t i = 0; i < n; ++i) x[i] *= inverse;
}

void geluInPlace(float* x, size_t n) noexcept {
#if defined(__x86_64__)
    if (hasAVX2()) return geluAVX2(x, n);
#endif
    for (size_t i = 0; i < n; ++i) x[i] = 0.5f * x[i] * (1.0f + std::erf(x[i] * 0.70710678118654752f));
}

void addInPlace(float* y, const float* x, size_t n) noexcept {
    for (size_t i = 0; i < n; ++i) y[i] += x[i];
}

void layerNormRow(const float* x, size_t width, const float* gamma, const float* beta, float* y,
                  float eps) noexcept {
    float mean = 0, var = 0;
#if defined(__x86_64__)
    if (hasAVX2()) {
        mean = sumAVX2(x, width) / static_cast<float>(width);
        var = squaredDeviationAVX2(x, width, mean) / static_cast<float>(width);
    } else
#endif
    {
        for (size_t i = 0; i < width; ++i) mean += x[i];
        mean /= static_cast<float>(width);
        for (size_t i = 0; i < width; ++i) {
            float d = x[i] - mean;
            var += d * d;
        }
        var /= static_cast<float>(width);
    }
    float inv = 1.0f / std::sqrt(var + eps);
    for (size_t i = 0; i < width; ++i) y[i] = (x[i] - mean) * inv * gamma[i] + beta[i];
}

}  // namespace mlruntime::kernels
