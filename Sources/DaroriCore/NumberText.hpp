// Shortest decimal texts of floating-point numbers, as the engine prints them in descriptions and
// log lines: the fewest digits that read back as the same value. Plain decimal form with ".0" added
// to integral values ("1.0", "0.1", "100000.0", "0.0001"); exponential form with a signed exponent
// of at least two digits for magnitudes below 0.0001 or above 2^24 (float) / 2^54 (double)
// ("1e-05", "3.3554432e+07"); "inf", "-inf", "nan". Pure and thread-safe.
#pragma once

#include <string>

namespace darori {

std::string floatDescription(float value);
std::string doubleDescription(double value);

}  // namespace darori
