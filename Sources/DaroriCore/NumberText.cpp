#include "DaroriCore/NumberText.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace darori {
namespace {

// `value` (finite) in the form described in the header; `exponentialAbove` is the magnitude beyond
// which the exponential form is used.
template <class T>
std::string shortest(T value, T exponentialAbove) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // The shortest round-trip digits, read out of the scientific form "d.ddde±x".
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const std::string sci(buf, result.ptr);
    const bool negative = sci[0] == '-';
    const std::size_t e = sci.find('e');
    std::string digits;
    for (std::size_t i = negative ? 1 : 0; i < e; ++i) {
        if (sci[i] != '.') digits += sci[i];
    }
    const int exponent = std::atoi(sci.c_str() + e + 1);  // value = d.ddd × 10^exponent

    std::string out = negative ? "-" : "";
    if (value == 0) return out + "0.0";
    if (exponent < -4 || std::fabs(value) > exponentialAbove) {
        out += digits[0];
        if (digits.size() > 1) out.append(".").append(digits, 1, std::string::npos);
        const int magnitude = std::abs(exponent);
        out += exponent < 0 ? "e-" : "e+";
        if (magnitude < 10) out += '0';
        out += std::to_string(magnitude);
        return out;
    }
    if (exponent < 0) {
        out.append("0.").append(static_cast<std::size_t>(-exponent - 1), '0').append(digits);
    } else if (const auto integral = static_cast<std::size_t>(exponent) + 1; integral >= digits.size()) {
        out.append(digits).append(integral - digits.size(), '0').append(".0");
    } else {
        out.append(digits, 0, integral).append(".").append(digits, integral, std::string::npos);
    }
    return out;
}

}  // namespace

std::string floatDescription(float value) { return shortest(value, 0x1p24f); }
std::string doubleDescription(double value) { return shortest(value, 0x1p54); }

}  // namespace darori
