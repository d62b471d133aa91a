#include "MLRuntime/Half.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

using namespace mlruntime;

namespace {

// The value of a half bit pattern computed from its definition, in double.
double referenceValue(uint16_t bits) {
    const int sign = (bits & 0x8000) ? -1 : 1;
    const int exponent = (bits >> 10) & 0x1F;
    const int mantissa = bits & 0x3FF;
    if (exponent == 0x1F) return mantissa ? NAN : sign * INFINITY;
    if (exponent == 0) return sign * std::ldexp(mantissa, -24);
    return sign * std::ldexp(1024 + mantissa, exponent - 25);
}

bool isSignallingNaN(uint16_t bits) { return (bits & 0x7C00) == 0x7C00 && (bits & 0x3FF) != 0 && !(bits & 0x200); }

uint16_t bitsOf(float value) { return Half(value).bits; }

}  // namespace

TEST(Half, EveryBitPatternConvertsToItsValueAndBackExactly) {
    for (uint32_t pattern = 0; pattern <= 0xFFFF; ++pattern) {
        const uint16_t bits = static_cast<uint16_t>(pattern);
        const float value = Half::fromBits(bits).toFloat();
        const double expected = referenceValue(bits);
        if (std::isnan(expected)) {
            ASSERT_TRUE(std::isnan(value)) << std::hex << bits;
        } else {
            ASSERT_EQ(static_cast<double>(value), expected) << std::hex << bits;
            ASSERT_EQ(std::signbit(value), (bits & 0x8000) != 0) << std::hex << bits;
        }
        ASSERT_EQ(Half(value).bits, bits) << std::hex << bits;
    }
}

TEST(Half, RoundsToNearestEven) {
    struct Case {
        float input;
        uint16_t expected;
    };
    const Case cases[] = {
        {1.0f, 0x3C00},
        {1.0f + 0x1p-11f, 0x3C00},                 // tie between 1 and the next half: even wins
        {1.0f + 3 * 0x1p-11f, 0x3C02},             // tie between 0x3C01 and 0x3C02: even wins
        {1.0f + 0x1p-11f + 0x1p-20f, 0x3C01},      // just above the tie
        {2048.0f + 1.0f, 0x6800},                  // tie at a spacing of 2: down to even 2048
        {2048.0f + 3.0f, 0x6802},                  // tie: up to even 2052
        {-10000.0f, 0xF0E2},
        {65504.0f, 0x7BFF},                        // largest finite half
        {65519.99f, 0x7BFF},
        {65520.0f, 0x7C00},                        // tie between 65504 and 65536: overflows to infinity
        {1e6f, 0x7C00},
        {-1e6f, 0xFC00},
        {INFINITY, 0x7C00},
        {-INFINITY, 0xFC00},
        {0.0f, 0x0000},
        {-0.0f, 0x8000},
        {0x1p-24f, 0x0001},                        // smallest subnormal
        {0x1p-25f, 0x0000},                        // tie between 0 and the smallest subnormal
        {std::nextafter(0x1p-25f, 1.0f), 0x0001},
        {3 * 0x1p-25f, 0x0002},                    // tie between subnormals 1 and 2
        {5 * 0x1p-25f, 0x0002},                    // tie between subnormals 2 and 3
        {-0x1p-24f, 0x8001},
        {-0x1p-26f, 0x8000},                       // underflows to negative zero
        {0x1p-14f, 0x0400},                        // smallest normal
        {0x1p-14f - 0x1p-25f, 0x0400},             // tie between the largest subnormal and it: even
        {0x1p-14f - 0x1p-24f, 0x03FF},
        {std::numeric_limits<float>::denorm_min(), 0x0000},
    };
    for (const auto& c : cases) EXPECT_EQ(bitsOf(c.input), c.expected) << c.input;
}

TEST(Half, NaNStaysNaN) {
    EXPECT_TRUE(Half(NAN).isNaN());
    EXPECT_TRUE(Half(-NAN).isNaN());
    EXPECT_TRUE(Half(-NAN).bits & 0x8000);
    // A float NaN whose payload lies only in bits a half cannot hold must not turn into infinity.
    for (uint32_t floatBits : {0x7F800001u, 0x7F801FFFu, 0xFF800001u}) {
        const Half h(std::bit_cast<float>(floatBits));
        EXPECT_TRUE(h.isNaN()) << std::hex << floatBits;
        EXPECT_EQ(h.bits & 0x8000, (floatBits >> 16) & 0x8000);
    }
    EXPECT_FALSE(Half(NAN) == Half(NAN));
    EXPECT_TRUE(Half(0.0f) == Half(-0.0f));
}

// Every float in the half range converts to a nearest half, ties to the even one; checked against
// the neighbours of the result over a sweep of float bit patterns plus all exact midpoints.
TEST(Half, FloatConversionPicksANearestHalf) {
    std::vector<float> inputs;
    for (uint32_t bits = 0; bits < 0x477FF000u; bits += 997) inputs.push_back(std::bit_cast<float>(bits));
    for (uint32_t h = 0; h < 0x7BFF; ++h)
        inputs.push_back(static_cast<float>((referenceValue(h) + referenceValue(h + 1)) / 2));
    for (float x : inputs) {
        const uint16_t h = bitsOf(x);
        ASSERT_LE(h, 0x7C00) << x;
        const double distance = std::fabs(x - referenceValue(h));
        const double below = h > 0 ? std::fabs(x - referenceValue(h - 1)) : INFINITY;
        const double above = h < 0x7BFF ? std::fabs(x - referenceValue(h + 1)) : INFINITY;
        ASSERT_LE(distance, below) << x;
        ASSERT_LE(distance, above) << x;
        if (distance == below || distance == above) {
            ASSERT_EQ(h & 1, 0) << x;
        }
        ASSERT_EQ(bitsOf(-x), h | 0x8000) << x;
    }
}

// The bulk conversions (F16C when present) agree with the scalar ones, apart from signalling NaNs,
// which the hardware quiets.
TEST(Half, BulkConversionsMatchScalarConversions) {
    std::vector<Half> halves(0x10000);
    for (uint32_t i = 0; i <= 0xFFFF; ++i) halves[i] = Half::fromBits(static_cast<uint16_t>(i));
    std::vector<float> floats(halves.size());
    halfToFloat(halves.data(), floats.data(), halves.size());
    for (uint32_t i = 0; i <= 0xFFFF; ++i) {
        const float scalar = halves[i].toFloat();
        if (std::isnan(scalar)) {
            ASSERT_TRUE(std::isnan(floats[i])) << i;
        } else {
            ASSERT_EQ(std::bit_cast<uint32_t>(floats[i]), std::bit_cast<uint32_t>(scalar)) << i;
        }
    }

    std::vector<float> inputs;
    for (uint32_t bits = 0; bits < 0xFFFFFFFFu - 65521; bits += 65521) inputs.push_back(std::bit_cast<float>(bits));
    for (uint32_t i = 0; i <= 0xFFFF; ++i) inputs.push_back(halves[i].toFloat());
    inputs.push_back(1.0f + 0x1p-11f);  // an odd count leaves a scalar tail too
    std::vector<Half> converted(inputs.size());
    floatToHalf(inputs.data(), converted.data(), inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        const uint16_t scalar = Half(inputs[i]).bits;
        if (isSignallingNaN(scalar)) {
            ASSERT_TRUE(converted[i].isNaN()) << i;
        } else {
            ASSERT_EQ(converted[i].bits, scalar) << inputs[i];
        }
    }
}
