#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "MLRuntime/DataType.hpp"
#include "MLRuntime/TensorHeader.hpp"

namespace mlruntime {

// A ".safetensors" checkpoint file, the model hub's standard weight format: an 8-byte
// little-endian header length N, N bytes of JSON mapping each tensor name to
// {"dtype": "F32"|"F16"|..., "shape": [...], "data_offsets": [begin, end]} (plus an optional
// "__metadata__" object), then the raw little-endian data; offsets count bytes from the first byte
// after the header.
//
// Every size and offset is checked against the file before any tensor is read; a damaged file
// throws Error(invalidModel) whose message starts with the file's path and names the tensor at
// fault. Only float16 and float32 tensors are accepted. The file is mapped read-only; immutable
// after opening, so concurrent readers are safe.
class SafetensorsFile {
public:
    // Real headers hold a few hundred kilobytes; a larger one is refused unread.
    static constexpr uint64_t MAX_HEADER_BYTES = 100'000'000;

    using Tensor = HeaderTensor;

    // Maps and checks `path`. Throws Error(invalidModel) naming the file when it is missing,
    // unreadable or damaged.
    static std::shared_ptr<const SafetensorsFile> open(const std::filesystem::path& path);

    // The tensors that `size` bytes at `bytes` describe, checked as open() checks a file; `name`
    // heads the error messages. The bytes are not kept.
    static std::map<std::string, Tensor> parse(const uint8_t* bytes, size_t size, const std::string& name);

    SafetensorsFile(const SafetensorsFile&) = delete;
    SafetensorsFile& operator=(const SafetensorsFile&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }
    const std::map<std::string, Tensor>& tensors() const noexcept { return tensors_; }
    // The raw bytes of one of this file's tensors (valid while this object lives).
    const void* bytes(const Tensor& tensor) const noexcept { return data_ + tensor.begin; }

private:
    SafetensorsFile() = default;

    std::filesystem::path path_;
    MappedTensorFile mapped_;
    const uint8_t* data_ = nullptr;
    std::map<std::string, Tensor> tensors_;
};

// One tensor to write as safetensors: name, "F16" or "F32" data as raw little-endian bytes.
struct SafetensorsEntry {
    std::string name;
    DataType dataType = DataType::Float32;
    std::vector<int64_t> shape;
    std::string bytes;
};

// Writes `entries` as one safetensors file, packed in the given order. Throws Error(invalidArgument)
// when an entry's byte count does not match its shape and type, Error(invalidModel) naming the
// file when it cannot be written.
void writeSafetensorsFile(const std::filesystem::path& path, const std::vector<SafetensorsEntry>& entries);

}  // namespace mlruntime
