#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <vector>

#include "MLRuntime/DataType.hpp"
#include "MLRuntime/Error.hpp"

namespace mlruntime {

// An n-dimensional array of one element type: shape, strides (in elements) and storage.
//
// A MultiArray is a handle: copies share the same storage, as model inputs and outputs are shared
// between the code that fills them and the model that reads them. Use clone() for an independent
// copy. Storage is either owned (allocated here, 64-byte aligned, zero-filled) or borrowed (memory
// that someone else keeps alive, for example a mapped file; an optional owner pointer is kept with
// the array to hold it alive).
//
// Offsets: an index [i0, i1, ...] lives at element offset sum(ik * strides[k]) from data().
//
// Thread-safety: none inside. Concurrent readers are fine; a writer needs exclusive use of the
// storage (of every handle sharing it) while it writes.
class MultiArray {
public:
    using Index = std::span<const int64_t>;

    // A null array: no shape, no storage, count() 0, isNull() true.
    MultiArray() = default;

    // An owned, zero-filled, row-major contiguous array. Throws Error(invalidArgument) for an empty
    // shape, a negative dimension or a size that does not fit in memory.
    MultiArray(std::vector<int64_t> shape, DataType dataType);

    // An array over `byteCount` bytes at `data` that the caller keeps alive (or that `owner` keeps
    // alive; the array holds `owner` as long as any handle exists). Empty `strides` means row-major
    // contiguous. Throws Error(invalidArgument) for a bad shape, strides of the wrong length,
    // negative strides, a misaligned or null `data`, or elements that would reach past `byteCount`.
    static MultiArray borrowing(void* data, size_t byteCount, std::vector<int64_t> shape, DataType dataType,
                                std::vector<int64_t> strides = {}, std::shared_ptr<const void> owner = {});

    // An owned contiguous array holding a copy of `values`. Throws Error(invalidArgument) when the
    // shape is invalid or its element count differs from values.size().
    template <class T>
    static MultiArray copying(std::span<const T> values, std::vector<int64_t> shape) {
        MultiArray array(std::move(shape), dataTypeOf<T>);
        if (static_cast<size_t>(array.count()) != values.size())
            throw Error(Error::Code::invalidArgument, "value count does not match the array shape");
        std::copy(values.begin(), values.end(), array.typedData<T>());
        return array;
    }

    // Row-major contiguous strides for `shape` (last stride 1).
    static std::vector<int64_t> contiguousStrides(const std::vector<int64_t>& shape);

    bool isNull() const noexcept { return storage_ == nullptr; }
    const std::vector<int64_t>& shape() const noexcept { return shape_; }
    const std::vector<int64_t>& strides() const noexcept { return strides_; }
    size_t rank() const noexcept { return shape_.size(); }
    DataType dataType() const noexcept { return dataType_; }
    // Number of elements: the product of the shape (0 for a null array).
    int64_t count() const noexcept { return count_; }
    // Number of elements the strides span from data(): the largest offset plus one (0 if empty).
    int64_t storageCount() const noexcept { return storageCount_; }
    // True when strides are the row-major contiguous strides of the shape.
    bool isContiguous() const noexcept;
    // True when the storage is borrowed rather than allocated by this array.
    bool isBorrowed() const noexcept;
    // True when both handles use the same storage.
    bool sharesStorage(const MultiArray& other) const noexcept { return storage_ && storage_ == other.storage_; }

    // Untyped storage (nullptr for a null array).
    void* data() noexcept { return data_; }
    const void* data() const noexcept { return data_; }

    // Typed storage; throws Error(typeMismatch) when T is not the array's element type.
    template <class T>
    T* typedData() {
        checkType(dataTypeOf<T>);
        return static_cast<T*>(data_);
    }
    template <class T>
    const T* typedData() const {
        checkType(dataTypeOf<T>);
        return static_cast<const T*>(data_);
    }
    // Typed view over all storageCount() elements; throws Error(typeMismatch) like typedData().
    template <class T>
    std::span<T> elements() {
        return {typedData<T>(), static_cast<size_t>(storageCount_)};
    }
    template <class T>
    std::span<const T> elements() const {
        return {typedData<T>(), static_cast<size_t>(storageCount_)};
    }

    // Element offset of a full index with the array's strides. Throws Error(indexOutOfRange) when the
    // index length differs from rank() or a component is outside [0, shape[k]).
    int64_t linearOffset(Index index) const;
    int64_t linearOffset(std::initializer_list<int64_t> index) const { return linearOffset(Index(index.begin(), index.size())); }
    // sum(index[k] * strides[k]) without bounds checks. Throws Error(invalidArgument) when `strides`
    // has fewer entries than `index` or the sum does not fit 64 bits.
    static int64_t linearOffset(Index index, Index strides);

    // Element at storage offset `offset` (0 <= offset < storageCount()), read as a double or written
    // from one with the rounding rules of DataTypeTraits::store. Throw Error(indexOutOfRange) outside.
    double value(int64_t offset) const;
    void setValue(int64_t offset, double value);
    // Same, addressed by a full index (checked like linearOffset).
    double value(Index index) const { return value(linearOffset(index)); }
    double value(std::initializer_list<int64_t> index) const { return value(linearOffset(index)); }
    void setValue(Index index, double v) { setValue(linearOffset(index), v); }
    void setValue(std::initializer_list<int64_t> index, double v) { setValue(linearOffset(index), v); }

    // Typed element by full index; throws Error(typeMismatch) or Error(indexOutOfRange).
    template <class T>
    T get(Index index) const { return typedData<T>()[linearOffset(index)]; }
    template <class T>
    void set(Index index, T v) { typedData<T>()[linearOffset(index)] = v; }

    // Writes `v` into every element of the shape (only the elements; gaps between strided rows are
    // left alone). Throws Error(typeMismatch) when T is not the element type.
    template <class T>
    void fill(T v) {
        checkType(dataTypeOf<T>);
        forEachOffset([&](int64_t offset) { static_cast<T*>(data_)[offset] = v; });
    }

    // An owned contiguous copy with the same type and values.
    MultiArray clone() const { return converted(dataType_); }
    // An owned contiguous copy with every value converted to `type` (rules of DataTypeTraits::store;
    // half <-> float uses the bulk conversions).
    MultiArray converted(DataType type) const;
    // All elements in row-major index order as floats.
    std::vector<float> toFloats() const;

    // Calls fn(offset) for the storage offset of every element, in row-major index order.
    template <class Fn>
    void forEachOffset(Fn&& fn) const {
        if (count_ == 0) return;
        if (isContiguous()) {
            for (int64_t i = 0; i < count_; ++i) fn(i);
            return;
        }
        std::vector<int64_t> index(rank(), 0);
        int64_t offset = 0;
        for (int64_t n = 0; n < count_; ++n) {
            fn(offset);
            for (size_t k = rank(); k-- > 0;) {
                if (++index[k] < shape_[k]) {
                    offset += strides_[k];
                    break;
                }
                offset -= (shape_[k] - 1) * strides_[k];
                index[k] = 0;
            }
        }
    }

private:
    struct Storage;
    void checkType(DataType expected) const;
    void setLayout(std::vector<int64_t> shape, std::vector<int64_t> strides, DataType type);

    std::shared_ptr<Storage> storage_;
    void* data_ = nullptr;
    std::vector<int64_t> shape_;
    std::vector<int64_t> strides_;
    DataType dataType_ = DataType::Float32;
    int64_t count_ = 0;
    int64_t storageCount_ = 0;
};

}  // namespace mlruntime
