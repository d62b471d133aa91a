#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "MLRuntime/DataType.hpp"
#include "MLRuntime/TensorHeader.hpp"
#include "MLRuntime/Half.hpp"

namespace mlruntime {

// A "weights.bin" file: an 8-byte little-endian header length, a JSON header that maps each tensor
// name to {"dtype": "float16"|"float32", "shape": [...], "offsets": [begin, end]}, then the raw
// little-endian tensor data. Offsets count bytes from the start of the data section, which begins
// at the first multiple of 64 after the header; every tensor begins on a 64-byte boundary.
//
// The file is mapped read-only. Every size and offset is checked against the file when it is
// opened; a damaged file throws Error(invalidModel) whose message starts with the file's path.
// Immutable after opening: thread-safe for concurrent readers.
class WeightsFile {
public:
    using Tensor = HeaderTensor;

    // Maps and checks `path`. Throws Error(invalidModel) naming the file when it is missing,
    // unreadable, truncated, or its header is malformed or points outside the data.
    static std::shared_ptr<const WeightsFile> open(const std::filesystem::path& path);
    WeightsFile(const WeightsFile&) = delete;
    WeightsFile& operator=(const WeightsFile&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }
    const std::map<std::string, Tensor>& tensors() const noexcept { return tensors_; }
    bool contains(const std::string& name) const { return tensors_.count(name) != 0; }

    // The tensor `name`, checked to have exactly `shape`. Throws Error(invalidModel) naming the
    // file when the tensor is missing or its shape differs.
    const Tensor& require(const std::string& name, const std::vector<int64_t>& shape) const;

    // The tensor `name` (shape checked as in require) as float32 values in a new vector.
    std::vector<float> floats(const std::string& name, const std::vector<int64_t>& shape) const;
    // The tensor as half values in a new vector (float32 data is rounded to nearest even).
    std::vector<Half> halves(const std::string& name, const std::vector<int64_t>& shape) const;

    // The raw bytes of a tensor inside the mapping (valid while this object lives).
    const void* bytes(const Tensor& tensor) const noexcept { return data_ + tensor.begin; }

private:
    WeightsFile() = default;
    [[noreturn]] void fail(const std::string& problem) const;

    std::filesystem::path path_;
    MappedTensorFile mapped_;
    const uint8_t* data_ = nullptr;  // start of the data section
    size_t dataSize_ = 0;
    std::map<std::string, Tensor> tensors_;
};

// One tensor to write: name, element type (Float16 or Float32), shape and its values as float32
// (rounded to half when the type is Float16).
struct WeightsEntry {
    std::string name;
    DataType dataType = DataType::Float32;
    std::vector<int64_t> shape;
    std::vector<float> values;
};

// Writes a weights file in the format above. Throws Error(invalidArgument) when an entry's value
// count does not match its shape or its type is not Float16/Float32, Error(invalidModel) naming
// the file when it cannot be written.
void writeWeightsFile(const std::filesystem::path& path, const std::vector<WeightsEntry>& entries);

// One tensor to write from raw little-endian data of its type (Float16 or Float32): `bytes` must
// hold exactly the shape's elements and stay valid until the write returns. Lets a converter
// stream tensors from a mapped file without holding them in memory.
struct RawWeightsEntry {
    std::string name;
    DataType dataType = DataType::Float32;
    std::vector<int64_t> shape;
    const void* bytes = nullptr;
};

// As above, from raw data.
void writeRawWeightsFile(const std::filesystem::path& path, const std::vector<RawWeightsEntry>& entries);

}  // namespace mlruntime
