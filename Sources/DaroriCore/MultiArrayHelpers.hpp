// What the engine needs beyond the runtime's own multi-array: arrays created with every element
// preset, index arithmetic, and targeted writes into logits.
//
// Writers modify the array in place and need exclusive use of its storage while they run.
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "MLRuntime/Half.hpp"
#include "MLRuntime/MultiArray.hpp"

namespace darori {

// The storage of a half-precision array could not be made (an empty or impossible shape).
class MLMultiArrayCreationError : public std::runtime_error {
public:
    enum class Kind { pixelBufferFailed };
    MLMultiArrayCreationError() : std::runtime_error("Failed to create IOSurface-backed pixel buffer for MLMultiArray") {}
    Kind kind() const noexcept { return Kind::pixelBufferFailed; }
    std::string errorDescription() const { return what(); }
    friend bool operator==(const MLMultiArrayCreationError&, const MLMultiArrayCreationError&) { return true; }
};

// A new owned array of `shape` and `dataType`. When `initialValue`'s type is the element type
// (mlruntime::Half, float, double, int32_t, int8_t) every element is set to it; a value of another
// type (an int for a Float32 array) leaves the zero-filled storage as allocated.
// Throws MLMultiArrayCreationError when a Float16 array cannot be made (bad shape or no memory),
// and the runtime's mlruntime::Error (or std::bad_alloc) for other types.
template <class T>
mlruntime::MultiArray makeMultiArray(const std::vector<int64_t>& shape, mlruntime::DataType dataType, const T& initialValue) {
    mlruntime::MultiArray array;
    if (dataType == mlruntime::DataType::Float16) {
        try {
            array = mlruntime::MultiArray(shape, dataType);
        } catch (const mlruntime::Error&) {
            throw MLMultiArrayCreationError();
        } catch (const std::bad_alloc&) {
            throw MLMultiArrayCreationError();
        }
    } else {
        array = mlruntime::MultiArray(shape, dataType);
    }
    if constexpr (std::is_same_v<T, mlruntime::Half> || std::is_same_v<T, float> || std::is_same_v<T, double> ||
                  std::is_same_v<T, int32_t> || std::is_same_v<T, int8_t>) {
        if (mlruntime::dataTypeOf<T> == dataType) array.fill(initialValue);
    }
    return array;
}

// sum(index[i] × strides[i]) with `strides`, or the array's own strides when absent. No bounds
// checks. Throws mlruntime::Error(invalidArgument) when the strides are shorter than the index.
int64_t linearOffset(const mlruntime::MultiArray& array, std::span<const int64_t> index,
                     std::optional<std::span<const int64_t>> strides = std::nullopt);

// Writes `value` at last-dimension positions lower ..< upper of a [1, 1, N] Float16 array.
// Throws mlruntime::Error — typeMismatch for another element type, invalidArgument for another
// shape, indexOutOfRange unless 0 <= lower <= upper <= N — before writing anything.
void fillLastDimension(mlruntime::MultiArray& array, int64_t lower, int64_t upper, mlruntime::Half value);

// Writes `value` at each index whose length is the array's rank and whose components lie inside the
// shape; other indexes are skipped silently. Throws mlruntime::Error(typeMismatch) before writing
// when T is not the array's element type.
template <class T>
void fill(mlruntime::MultiArray& array, const std::vector<std::vector<int64_t>>& indexes, const T& value) {
    T* data = array.typedData<T>();
    if (array.count() == 0) return;  // a null or empty array has no element to write
    const auto& shape = array.shape();
    for (const auto& index : indexes) {
        if (index.size() != shape.size()) continue;
        bool inside = true;
        for (size_t j = 0; j < index.size() && inside; ++j) inside = index[j] >= 0 && index[j] < shape[j];
        if (inside) data[linearOffset(array, index)] = value;
    }
}

// An Int32 array of shape [1, ..., 1, values.size()] with `dims` entries holding `values`.
// Throws mlruntime::Error(invalidArgument) when dims < 1 or a value does not fit 32 bits.
mlruntime::MultiArray multiArrayFrom(const std::vector<int64_t>& values, int dims);

}  // namespace darori
