#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

#include "MLRuntime/Half.hpp"

namespace mlruntime {

// Element types of multi-arrays and tensors. The numbering is stable.
enum class DataType : uint8_t { Float16, Float32, Float64, Int32, Int8 };

// Everything the runtime needs to know about one element type, in one table.
struct DataTypeTraits {
    DataType type;
    std::string_view name;        // "float16", "float32", "float64", "int32", "int8"
    std::string_view scalarName;  // the scalar's type name: "Float16", "Float", "Double", "Int32", "Int8"
    size_t size;                  // bytes per element
    bool isFloatingPoint;
    // Reads one element as a double (exact for every type).
    double (*load)(const void* element) noexcept;
    // Writes one element from a double: floats round to nearest even; integers truncate toward zero
    // and saturate at the type's limits, NaN becomes 0.
    void (*store)(void* element, double value) noexcept;
};

// The traits of `type`. Never fails for the five enumerators; thread-safe (static table).
const DataTypeTraits& traits(DataType type) noexcept;

// The type whose traits name is `name` ("float16", ...), or nothing.
std::optional<DataType> dataTypeNamed(std::string_view name) noexcept;

// Maps a C++ element type to its DataType: dataTypeOf<Half> == DataType::Float16, and so on.
template <class T>
struct DataTypeOf;
template <> struct DataTypeOf<Half> { static constexpr DataType value = DataType::Float16; };
template <> struct DataTypeOf<float> { static constexpr DataType value = DataType::Float32; };
template <> struct DataTypeOf<double> { static constexpr DataType value = DataType::Float64; };
template <> struct DataTypeOf<int32_t> { static constexpr DataType value = DataType::Int32; };
template <> struct DataTypeOf<int8_t> { static constexpr DataType value = DataType::Int8; };
template <class T>
inline constexpr DataType dataTypeOf = DataTypeOf<std::remove_cv_t<T>>::value;

}  // namespace mlruntime
