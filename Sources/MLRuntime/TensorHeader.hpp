// The layout weights.bin shares with safetensors files: 8 bytes of little-endian header length, a
// JSON object naming each tensor's dtype, shape and byte range, then the tensors' data. One reader
// checks every entry against the data before anything is read from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "MLRuntime/DataType.hpp"

namespace mlruntime {

struct HeaderTensor {
    DataType dataType = DataType::Float32;  // Float16 or Float32
    std::vector<int64_t> shape;
    size_t begin = 0;  // byte offset within the data section
    size_t byteCount = 0;
    int64_t count() const noexcept;
};

// What tells the two formats apart.
struct TensorHeaderFormat {
    const char* offsetsKey;                                          // the key of [begin, end]
    std::function<std::optional<DataType>(const std::string&)> dataTypeNamed;  // absent: unsupported
    const char* dataTypeHint;  // appended to the unsupported-dtype message ("" for none)
    size_t alignment;          // every tensor's begin is a multiple of it (1: any)
    bool skipsMetadata;        // the "__metadata__" entry holds no tensor
};

// Reports a damaged header; must throw.
using HeaderFailure = std::function<void(const std::string& problem)>;

// The header length in the first 8 bytes of `bytes` (at least 8 of them).
uint64_t readTensorHeaderLength(const uint8_t* bytes) noexcept;

// Parses the JSON header [json, json + length) and checks each entry: a supported dtype, a shape of
// non-negative sizes whose byte count fits, two non-decreasing offsets within `dataSize` aligned as
// the format asks and spanning exactly the shape's bytes. Calls `fail` with the problem (naming
// the tensor) otherwise.
std::map<std::string, HeaderTensor> parseTensorHeader(const uint8_t* json, size_t length, uint64_t dataSize,
                                                      const TensorHeaderFormat& format, const HeaderFailure& fail);

// A tensor file mapped read-only: open, checked to be a regular file of at least the 8 bytes of
// the header length, mapped; unmapped when destroyed. `noun` names the file in the messages
// ("cannot open" + noun + ": ..."); `fail` must throw.
class MappedTensorFile {
public:
    MappedTensorFile() = default;
    MappedTensorFile(const std::filesystem::path& path, const std::string& noun, const HeaderFailure& fail);
    ~MappedTensorFile();
    MappedTensorFile(MappedTensorFile&& other) noexcept;
    MappedTensorFile& operator=(MappedTensorFile&& other) noexcept;

    const uint8_t* bytes() const noexcept { return static_cast<const uint8_t*>(mapping_); }
    size_t size() const noexcept { return size_; }

private:
    void* mapping_ = nullptr;
    size_t size_ = 0;
};

// "[2, 3]"
std::string tensorShapeText(const std::vector<int64_t>& shape);

}  // namespace mlruntime
