#pragma once

#include <cstdint>
#include <vector>

#include "MLRuntime/MultiArray.hpp"

namespace mlruntime {

// An immutable n-dimensional value: scalar type, shape and contiguous row-major scalars. It is
// what sampling code reads results out of; the conversions below materialise it as plain lists or
// as a new multi-array. Copies share the (never written) scalars; thread-safe for all uses.
class Tensor {
public:
    // A snapshot of `array`'s elements in row-major order (later writes to the array do not show).
    // Throws Error(invalidArgument) for a null array.
    explicit Tensor(const MultiArray& array);

    // A tensor holding `scalars` with `shape`. Throws Error(invalidArgument) when the shape is
    // invalid or its element count differs from scalars.size().
    template <class T>
    Tensor(const std::vector<T>& scalars, std::vector<int64_t> shape)
        : scalars_(MultiArray::copying<T>(std::span<const T>(scalars), std::move(shape))) {}

    DataType scalarType() const noexcept { return scalars_.dataType(); }
    const std::vector<int64_t>& shape() const noexcept { return scalars_.shape(); }
    int64_t count() const noexcept { return scalars_.count(); }

    // The Int32 scalars widened to int, in row-major order. Other scalar types throw
    // Error(unsupported, "Unsupported scalar type: <name>").
    std::vector<int> toIntArray() const;
    // Float32 scalars as they are; Float16 and Int32 scalars converted to float. Other scalar types
    // throw Error(unsupported, "Unsupported scalar type: <name>").
    std::vector<float> toFloatArray() const;
    // A new owned multi-array of the same scalar type, shape and values, for Float32, Float16 and
    // Int32 tensors. Other scalar types throw Error(unsupported, "Unsupported scalar type: <name>").
    MultiArray toMultiArray() const;

private:
    void requireOneOf(std::initializer_list<DataType> types) const;

    MultiArray scalars_;  // owned, contiguous, never written after construction
};

}  // namespace mlruntime
