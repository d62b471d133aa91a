#include "MLRuntime/DataType.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace mlruntime {
namespace {

template <class T>
double loadScalar(const void* element) noexcept {
    T value;
    std::memcpy(&value, element, sizeof(T));
    if constexpr (std::is_same_v<T, Half>) {
        return value.toFloat();
    } else {
        return static_cast<double>(value);
    }
}

template <class T>
void storeScalar(void* element, double value) noexcept {
    T result;
    if constexpr (std::is_same_v<T, Half>) {
        result = Half(static_cast<float>(value));
    } else if constexpr (std::is_floating_point_v<T>) {
        result = static_cast<T>(value);
    } else {
        constexpr double lowest = static_cast<double>(std::numeric_limits<T>::min());
        constexpr double highest = static_cast<double>(std::numeric_limits<T>::max());
        if (std::isnan(value)) {
            result = 0;
        } else if (value <= lowest) {
            result = std::numeric_limits<T>::min();
        } else if (value >= highest) {
            result = std::numeric_limits<T>::max();
        } else {
            result = static_cast<T>(value);
        }
    }
    std::memcpy(element, &result, sizeof(T));
}

template <class T>
constexpr DataTypeTraits makeTraits(DataType type, std::string_view name, std::string_view scalarName) {
    return {type, name, scalarName, sizeof(T), !std::is_integral_v<T>, &loadScalar<T>, &storeScalar<T>};
}

constexpr DataTypeTraits TABLE[] = {
    makeTraits<Half>(DataType::Float16, "float16", "Float16"),
    makeTraits<float>(DataType::Float32, "float32", "Float"),
    makeTraits<double>(DataType::Float64, "float64", "Double"),
    makeTraits<int32_t>(DataType::Int32, "int32", "Int32"),
    makeTraits<int8_t>(DataType::Int8, "int8", "Int8"),
};

}  // namespace

const DataTypeTraits& traits(DataType type) noexcept { return TABLE[static_cast<size_t>(type)]; }

std::optional<DataType> dataTypeNamed(std::string_view name) noexcept {
    for (const auto& entry : TABLE) {
        if (entry.name == name) return entry.type;
    }
    return std::nullopt;
}

}  // namespace mlruntime
