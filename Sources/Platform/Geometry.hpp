// Points, sizes and rectangles in screen points: origin at the top-left of the primary screen,
// y growing downward. Plain values.
#pragma once

#include <cmath>
#include <limits>

namespace talkweft::platform {

struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

struct Size {
    double width = 0;
    double height = 0;
    bool operator==(const Size&) const = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    bool operator==(const Rect&) const = default;

    // The "null" rectangle some accessibility answers carry when there is no geometry.
    static Rect null() {
        constexpr double inf = std::numeric_limits<double>::infinity();
        return {inf, inf, 0, 0};
    }
    bool isNull() const { return std::isinf(x) || std::isinf(y); }
};

}  // namespace talkweft::platform
