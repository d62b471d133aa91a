#include "MLRuntime/MultiArray.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>

namespace mlruntime {

struct MultiArray::Storage {
    void* allocation = nullptr;            // owned memory, freed on destruction
    std::shared_ptr<const void> owner;     // keeps borrowed memory alive, if given
    ~Storage() { std::free(allocation); }
};

namespace {

constexpr size_t ALIGNMENT = 64;

std::string describeShape(const std::vector<int64_t>& shape) {
    std::string text = "[";
    for (size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
    return text + "]";
}

// Product of the shape, checked against overflow and against `elementSize`-byte addressing.
int64_t elementCount(const std::vector<int64_t>& shape, size_t elementSize) {
    if (shape.empty()) throw Error(Error::Code::invalidArgument, "a multi-array needs at least one dimension");
    const int64_t limit = std::numeric_limits<int64_t>::max() / static_cast<int64_t>(elementSize);
    // `span` is the product with zero dimensions counted as 1, which bounds the contiguous strides.
    int64_t count = 1;
    int64_t span = 1;
    for (int64_t dimension : shape) {
        if (dimension < 0)
            throw Error(Error::Code::invalidArgument, "negative dimension in shape " + describeShape(shape));
        if (dimension != 0 && span > limit / dimension)
            throw Error(Error::Code::invalidArgument, "shape " + describeShape(shape) + " is too large");
        count *= dimension;
        span *= std::max<int64_t>(dimension, 1);
    }
    return count;
}

}  // namespace

std::vector<int64_t> MultiArray::contiguousStrides(const std::vector<int64_t>& shape) {
    std::vector<int64_t> strides(shape.size(), 1);
    for (size_t k = shape.size(); k-- > 1;) strides[k - 1] = strides[k] * std::max<int64_t>(shape[k], 1);
    return strides;
}

void MultiArray::setLayout(std::vector<int64_t> shape, std::vector<int64_t> strides, DataType type) {
    dataType_ = type;
    count_ = elementCount(shape, traits(type).size);
    storageCount_ = 0;
    if (count_ > 0) {
        storageCount_ = 1;
        for (size_t k = 0; k < shape.size(); ++k) storageCount_ += (shape[k] - 1) * strides[k];
    }
    shape_ = std::move(shape);
    strides_ = std::move(strides);
}

MultiArray::MultiArray(std::vector<int64_t> shape, DataType dataType) {
    elementCount(shape, traits(dataType).size);  // validate before deriving strides
    auto strides = contiguousStrides(shape);
    setLayout(std::move(shape), std::move(strides), dataType);
    const size_t bytes = static_cast<size_t>(count_) * traits(dataType).size;
    const size_t rounded = (bytes + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
    storage_ = std::make_shared<Storage>();
    storage_->allocation = std::aligned_alloc(ALIGNMENT, std::max(rounded, ALIGNMENT));
    if (storage_->allocation == nullptr) throw std::bad_alloc();
    std::memset(storage_->allocation, 0, std::max(rounded, ALIGNMENT));
    data_ = storage_->allocation;
}

MultiArray MultiArray::borrowing(void* data, size_t byteCount, std::vector<int64_t> shape, DataType dataType,
                                 std::vector<int64_t> strides, std::shared_ptr<const void> owner) {
    const size_t elementSize = traits(dataType).size;
    if (data == nullptr) throw Error(Error::Code::invalidArgument, "borrowed storage is null");
    if (reinterpret_cast<uintptr_t>(data) % elementSize != 0)
        throw Error(Error::Code::invalidArgument, "borrowed storage is not aligned to its element size");
    const int64_t count = elementCount(shape, elementSize);
    if (strides.empty()) strides = contiguousStrides(shape);
    if (strides.size() != shape.size())
        throw Error(Error::Code::invalidArgument, "strides " + describeShape(strides) + " do not match shape " + describeShape(shape));
    for (int64_t stride : strides) {
        if (stride < 0) throw Error(Error::Code::invalidArgument, "negative stride in " + describeShape(strides));
    }
    // Every element must lie inside the borrowed bytes. Large strides could overflow an integer
    // sum, so the extent is computed in long double before the layout is trusted.
    long double extent = 0;
    if (count > 0) {
        extent = 1;
        for (size_t k = 0; k < shape.size(); ++k)
            extent += static_cast<long double>(shape[k] - 1) * static_cast<long double>(strides[k]);
    }
    if (extent * elementSize > static_cast<long double>(byteCount))
        throw Error(Error::Code::invalidArgument, "shape " + describeShape(shape) + " with strides " +
                                                      describeShape(strides) + " reaches past the borrowed " +
                                                      std::to_string(byteCount) + " bytes");
    MultiArray array;
    array.setLayout(std::move(shape), std::move(strides), dataType);
    array.storage_ = std::make_shared<Storage>();
    array.storage_->owner = std::move(owner);
    array.data_ = data;
    return array;
}

bool MultiArray::isContiguous() const noexcept {
    int64_t expected = 1;
    for (size_t k = rank(); k-- > 0;) {
        if (shape_[k] != 1 && strides_[k] != expected) return false;
        expected *= shape_[k];
    }
    return true;
}

bool MultiArray::isBorrowed() const noexcept { return storage_ && storage_->allocation == nullptr; }

void MultiArray::checkType(DataType expected) const {
    if (expected != dataType_)
        throw Error(Error::Code::typeMismatch, "element type " + std::string(traits(expected).name) +
                                                   " used on a " + std::string(traits(dataType_).name) + " array");
}

int64_t MultiArray::linearOffset(Index index) const {
    if (index.size() != rank())
        throw Error(Error::Code::indexOutOfRange, "index of rank " + std::to_string(index.size()) +
                                                      " for an array of shape " + describeShape(shape_));
    int64_t offset = 0;
    for (size_t k = 0; k < index.size(); ++k) {
        if (index[k] < 0 || index[k] >= shape_[k])
            throw Error(Error::Code::indexOutOfRange,
                        "index " + describeShape({index.begin(), index.end()}) + " outside shape " + describeShape(shape_));
        offset += index[k] * strides_[k];
    }
    return offset;
}

int64_t MultiArray::linearOffset(Index index, Index strides) {
    if (strides.size() < index.size())
        throw Error(Error::Code::invalidArgument, "fewer strides than index components");
    int64_t offset = 0;
    for (size_t k = 0; k < index.size(); ++k) {
        int64_t term = 0;
        if (__builtin_mul_overflow(index[k], strides[k], &term) || __builtin_add_overflow(offset, term, &offset))
            throw Error(Error::Code::invalidArgument, "linear offset does not fit a 64-bit integer");
    }
    return offset;
}

double MultiArray::value(int64_t offset) const {
    if (offset < 0 || offset >= storageCount_)
        throw Error(Error::Code::indexOutOfRange, "offset " + std::to_string(offset) + " outside the array");
    const auto& t = traits(dataType_);
    return t.load(static_cast<const char*>(data_) + offset * static_cast<int64_t>(t.size));
}

void MultiArray::setValue(int64_t offset, double v) {
    if (offset < 0 || offset >= storageCount_)
        throw Error(Error::Code::indexOutOfRange, "offset " + std::to_string(offset) + " outside the array");
    const auto& t = traits(dataType_);
    t.store(static_cast<char*>(data_) + offset * static_cast<int64_t>(t.size), v);
}

MultiArray MultiArray::converted(DataType type) const {
    if (isNull()) return {};
    MultiArray result(shape_, type);
    const auto& from = traits(dataType_);
    const auto& to = traits(type);
    const char* source = static_cast<const char*>(data_);
    char* destination = static_cast<char*>(result.data_);
    if (isContiguous()) {
        if (type == dataType_) {
            std::memcpy(destination, source, static_cast<size_t>(count_) * from.size);
            return result;
        }
        if (dataType_ == DataType::Float16 && type == DataType::Float32) {
            halfToFloat(static_cast<const Half*>(data_), static_cast<float*>(result.data_), static_cast<size_t>(count_));
            return result;
        }
        if (dataType_ == DataType::Float32 && type == DataType::Float16) {
            floatToHalf(static_cast<const float*>(data_), static_cast<Half*>(result.data_), static_cast<size_t>(count_));
            return result;
        }
    }
    int64_t i = 0;
    forEachOffset([&](int64_t offset) {
        to.store(destination + (i++) * static_cast<int64_t>(to.size), from.load(source + offset * static_cast<int64_t>(from.size)));
    });
    return result;
}

std::vector<float> MultiArray::toFloats() const {
    if (isNull()) return {};
    MultiArray asFloat = dataType_ == DataType::Float32 && isContiguous() ? *this : converted(DataType::Float32);
    const float* values = static_cast<const float*>(asFloat.data_);
    return std::vector<float>(values, values + count_);
}

}  // namespace mlruntime

