#include "DaroriCore/MultiArrayHelpers.hpp"

#include <limits>

namespace darori {

using mlruntime::Error;

int64_t linearOffset(const mlruntime::MultiArray& array, std::span<const int64_t> index,
                     std::optional<std::span<const int64_t>> strides) {
    const std::span<const int64_t> s = strides ? *strides : std::span<const int64_t>(array.strides());
    return mlruntime::MultiArray::linearOffset(index, s);
}

void fillLastDimension(mlruntime::MultiArray& array, int64_t lower, int64_t upper, mlruntime::Half value) {
    mlruntime::Half* data = array.typedData<mlruntime::Half>();
    const auto& shape = array.shape();
    if (shape.size() != 3 || shape[0] != 1 || shape[1] != 1) {
        throw Error(Error::Code::invalidArgument, "fillLastDimension needs an array of shape [1, 1, N]");
    }
    if (lower < 0 || lower > upper || upper > shape[2]) {
        throw Error(Error::Code::indexOutOfRange, "fillLastDimension range " + std::to_string(lower) + "..<" +
                                                      std::to_string(upper) + " is outside 0..<" + std::to_string(shape[2]));
    }
    const int64_t stride = array.strides()[2];
    for (int64_t i = lower; i < upper; ++i) data[i * stride] = value;
}

mlruntime::MultiArray multiArrayFrom(const std::vector<int64_t>& values, int dims) {
    if (dims < 1) throw Error(Error::Code::invalidArgument, "an array needs at least one dimension");
    std::vector<int32_t> narrowed;
    narrowed.reserve(values.size());
    for (const int64_t v : values) {
        if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
            throw Error(Error::Code::invalidArgument, "value " + std::to_string(v) + " does not fit a 32-bit integer");
        }
        narrowed.push_back(static_cast<int32_t>(v));
    }
    std::vector<int64_t> shape(static_cast<size_t>(dims), 1);
    shape.back() = static_cast<int64_t>(values.size());
    return mlruntime::MultiArray::copying<int32_t>(narrowed, std::move(shape));
}

}  // namespace darori
