#include "MLRuntime/Half.hpp"

#include "MLRuntime/KernelPath.hpp"

#include <bit>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MLRUNTIME_X86 1
#endif

namespace mlruntime {

float halfBitsToFloat(uint16_t h) noexcept {
    const uint32_t sign = static_cast<uint32_t>(h & 0x8000) << 16;
    const uint32_t exponent = (h >> 10) & 0x1F;
    const uint32_t mantissa = h & 0x3FF;
    if (exponent == 0) {
        // Zero or subnormal: mantissa * 2^-24 is exact in float.
        const float magnitude = static_cast<float>(mantissa) * 0x1p-24f;
        return std::bit_cast<float>(std::bit_cast<uint32_t>(magnitude) | sign);
    }
    if (exponent == 0x1F) {
        // Infinity or NaN: the payload moves to the top of the float mantissa unchanged.
        return std::bit_cast<float>(sign | 0x7F800000u | (mantissa << 13));
    }
    return std::bit_cast<float>(sign | ((exponent + 112) << 23) | (mantissa << 13));
}

uint16_t floatToHalfBits(float value) noexcept {
    const uint32_t x = std::bit_cast<uint32_t>(value);
    const uint16_t sign = static_cast<uint16_t>((x >> 16) & 0x8000);
    const uint32_t magnitude = x & 0x7FFFFFFF;

    if (magnitude >= 0x7F800000) {
        if (magnitude == 0x7F800000) return sign | 0x7C00;
        // NaN: keep the top payload bits; a payload that lives only in the low bits still has to
        // read as NaN, so it becomes the quiet bit.
        uint16_t payload = static_cast<uint16_t>((magnitude >> 13) & 0x3FF);
        if (payload == 0) payload = 0x200;
        return sign | 0x7C00 | payload;
    }
    // 65520 is halfway between the largest half (65504) and 65536; ties go to the even pattern,
    // which is infinity.
    if (magnitude >= 0x477FF000) return sign | 0x7C00;

    const uint32_t exponent = magnitude >> 23;
    if (exponent < 113) {
        // Result is subnormal (or zero): round (significand * 2^(exponent-126)) to an integer.
        const uint32_t shift = 126 - exponent;
        if (shift > 24) return sign;
        const uint32_t significand = (magnitude & 0x7FFFFF) | 0x800000;
        uint32_t result = significand >> shift;
        const uint32_t remainder = significand & ((1u << shift) - 1);
        const uint32_t halfway = 1u << (shift - 1);
        if (remainder > halfway || (remainder == halfway && (result & 1))) ++result;
        return sign | static_cast<uint16_t>(result);  // a carry into 0x400 is the smallest normal
    }
    uint32_t result = ((exponent - 112) << 10) | ((magnitude >> 13) & 0x3FF);
    const uint32_t remainder = magnitude & 0x1FFF;
    if (remainder > 0x1000 || (remainder == 0x1000 && (result & 1))) ++result;  // carries into the exponent
    return sign | static_cast<uint16_t>(result);
}

Half::Half(float value) noexcept : bits(floatToHalfBits(value)) {}

float Half::toFloat() const noexcept { return halfBitsToFloat(bits); }

namespace {

#ifdef MLRUNTIME_X86
__attribute__((target("avx,f16c"))) void halfToFloatF16C(const Half* source, float* destination, size_t count) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
        _mm256_storeu_ps(destination + i, _mm256_cvtph_ps(h));
    }
    for (; i < count; ++i) destination[i] = halfBitsToFloat(source[i].bits);
}

__attribute__((target("avx,f16c"))) void floatToHalfF16C(const float* source, Half* destination, size_t count) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(source + i), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i), h);
    }
    for (; i < count; ++i) destination[i].bits = floatToHalfBits(source[i]);
}
#endif

}  // namespace

// Every vector kernel path includes F16C; the scalar path uses none of it.
bool hasHardwareHalfConversion() noexcept { return kernelPath() != KernelPath::scalar; }

void halfToFloat(const Half* source, float* destination, size_t count) noexcept {
#ifdef MLRUNTIME_X86
    if (hasHardwareHalfConversion()) return halfToFloatF16C(source, destination, count);
#endif
    for (size_t i = 0; i < count; ++i) destination[i] = halfBitsToFloat(source[i].bits);
}

void floatToHalf(const float* source, Half* destination, size_t count) noexcept {
#ifdef MLRUNTIME_X86
    if (hasHardwareHalfConversion()) return floatToHalfF16C(source, destination, count);
#endif
    for (size_t i = 0; i < count; ++i) destination[i].bits = floatToHalfBits(source[i]);
}

}  // namespace mlruntime
