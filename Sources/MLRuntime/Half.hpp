#pragma once

#include <cstddef>
#include <cstdint>

namespace mlruntime {

// IEEE 754 binary16. Conversions from float round to nearest, ties to even; values beyond the
// largest finite half become infinity; NaN stays NaN. Half to float is exact. The scalar
// conversions are plain bit arithmetic and keep NaN payloads bit for bit, so every half bit
// pattern survives a trip through float unchanged.
struct Half {
    uint16_t bits = 0;

    constexpr Half() = default;
    // Rounds `value` to the nearest half (ties to even). Note: an integer argument is converted as
    // a number; use fromBits() to set a bit pattern.
    explicit Half(float value) noexcept;

    static constexpr Half fromBits(uint16_t bits) noexcept {
        Half h;
        h.bits = bits;
        return h;
    }
    static constexpr Half infinity() noexcept { return fromBits(0x7C00); }
    static constexpr Half negativeInfinity() noexcept { return fromBits(0xFC00); }

    float toFloat() const noexcept;
    explicit operator float() const noexcept { return toFloat(); }

    constexpr bool isNaN() const noexcept { return (bits & 0x7C00) == 0x7C00 && (bits & 0x03FF) != 0; }
    constexpr bool isInfinite() const noexcept { return (bits & 0x7FFF) == 0x7C00; }
    constexpr Half operator-() const noexcept { return fromBits(static_cast<uint16_t>(bits ^ 0x8000)); }

    // Numeric comparisons (NaN unequal to everything, +0 == -0). Compare `bits` for identity.
    friend bool operator==(Half a, Half b) noexcept { return a.toFloat() == b.toFloat(); }
    friend bool operator<(Half a, Half b) noexcept { return a.toFloat() < b.toFloat(); }
    friend bool operator>(Half a, Half b) noexcept { return b < a; }
    friend bool operator<=(Half a, Half b) noexcept { return a.toFloat() <= b.toFloat(); }
    friend bool operator>=(Half a, Half b) noexcept { return b <= a; }
};

// Bit-level scalar conversions behind Half (same rounding and NaN rules).
float halfBitsToFloat(uint16_t bits) noexcept;
uint16_t floatToHalfBits(float value) noexcept;

// Bulk conversions of `count` values. They use the CPU's F16C instructions on every vector kernel
// path (KernelPath.hpp) and the scalar conversions on the scalar path. Results equal the scalar
// conversions for every input except signalling NaNs, which the hardware turns into quiet NaNs.
// Source and destination must not overlap. Thread-safe.
void halfToFloat(const Half* source, float* destination, size_t count) noexcept;
void floatToHalf(const float* source, Half* destination, size_t count) noexcept;

// True when the bulk conversions run on F16C instructions now (the kernel path is not scalar).
bool hasHardwareHalfConversion() noexcept;

static_assert(sizeof(Half) == 2, "Half must be two bytes");

}  // namespace mlruntime
