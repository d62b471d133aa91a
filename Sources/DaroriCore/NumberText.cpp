#include "DaroriCore/NumberText.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

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

template <class T>
std::optional<T> parse(std::string_view text) {
    T value{};
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value, std::chars_format::general);
    if (text.empty() || result.ec != std::errc() || result.ptr != end) return std::nullopt;
    return value;
}

std::string withPrecision(double value, std::chars_format format, int precision, int width) {
    // Room for the 309 integral digits of the largest double, its sign, point and decimals.
    std::string out(static_cast<std::size_t>(320 + std::max(precision, 0)), '\0');
    const auto result = std::to_chars(out.data(), out.data() + out.size(), value, format, std::max(precision, 0));
    out.resize(result.ec == std::errc() ? static_cast<std::size_t>(result.ptr - out.data()) : 0);
    if (static_cast<int>(out.size()) < width) out.insert(0, static_cast<std::size_t>(width) - out.size(), ' ');
    return out;
}

}  // namespace

std::string fixedText(double value, int decimals, int width) {
    return withPrecision(value, std::chars_format::fixed, decimals, width);
}

std::string generalText(double value, int precision) {
    // printf takes a precision of 0 as 1 for "%g".
    return withPrecision(value, std::chars_format::general, std::max(precision, 1), 0);
}

std::optional<double> parseDouble(std::string_view text) { return parse<double>(text); }
std::optional<float> parseFloat(std::string_view text) { return parse<float>(text); }

std::string floatDescription(float value) { return shortest(value, 0x1p24f); }
std::string doubleDescription(double value) { return shortest(value, 0x1p54); }

}  // namespace darori
