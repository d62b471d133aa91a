// Shortest decimal texts of floating-point numbers, as the engine prints them in descriptions and
// log lines: the fewest digits that read back as the same value, with ".0" added to integral
// values ("1.0", "0.1", "1e+20", "inf", "nan"). Pure and thread-safe.
#pragma once

#include <string>

namespace darori {

std::string floatDescription(float value);
std::string doubleDescription(double value);

}  // namespace darori
