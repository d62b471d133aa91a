// Shortest decimal texts of floating-point numbers, as the engine prints them in descriptions and
// log lines: the fewest digits that read back as the same value. Plain decimal form with ".0" added
// to integral values ("1.0", "0.1", "100000.0", "0.0001"); exponential form with a signed exponent
// of at least two digits for magnitudes below 0.0001 or above 2^24 (float) / 2^54 (double)
// ("1e-05", "3.3554432e+07"); "inf", "-inf", "nan". Pure and thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace darori {

std::string floatDescription(float value);
std::string doubleDescription(double value);

// Numbers in the texts the engine writes and reads keep "." as the decimal point whatever locale the
// process runs in (a program that uses the engine may have set one with setlocale).

// `value` with `decimals` digits after the point, as printf's "%.<decimals>f" writes it in the C
// locale ("1.23", "-0.50", "inf", "nan"), padded with spaces on the left to `width` characters.
std::string fixedText(double value, int decimals, int width = 0);
// printf's "%.<precision>g" in the C locale.
std::string generalText(double value, int precision);

// The whole of `text` as a decimal number ("1.5", "-2e-3", "1765452129.25", "inf", "nan"); absent
// for anything else (blanks, a "+" sign, a comma, hexadecimal) and for a value out of range.
std::optional<double> parseDouble(std::string_view text);
std::optional<float> parseFloat(std::string_view text);

}  // namespace darori
