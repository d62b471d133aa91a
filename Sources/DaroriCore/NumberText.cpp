#include "DaroriCore/NumberText.hpp"

#include <charconv>
#include <cmath>

namespace darori {
namespace {

template <class T>
std::string shortest(T value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    std::string out(buf, result.ptr);
    if (out.find_first_of(".e") == std::string::npos) out += ".0";
    return out;
}

}  // namespace

std::string floatDescription(float value) { return shortest(value); }
std::string doubleDescription(double value) { return shortest(value); }

}  // namespace darori
