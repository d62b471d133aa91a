#include "MLRuntime/TensorHeader.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <limits>
#include <nlohmann/json.hpp>

#include "MLRuntime/JsonExcerpt.hpp"

namespace mlruntime {

int64_t HeaderTensor::count() const noexcept {
    int64_t n = 1;
    for (auto d : shape) n *= d;
    return n;
}

uint64_t readTensorHeaderLength(const uint8_t* bytes) noexcept {
    uint64_t length = 0;
    for (int i = 7; i >= 0; --i) length = (length << 8) | bytes[i];
    return length;
}

MappedTensorFile::MappedTensorFile(const std::filesystem::path& path, const std::string& noun, const HeaderFailure& fail) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("cannot open" + noun + ": " + std::strerror(errno));
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        fail("not a regular file");
    }
    const size_t size = static_cast<size_t>(info.st_size);
    if (size < 8) {
        ::close(fd);
        fail("truncated: " + std::to_string(size) + " bytes, too short for the header length");
    }
    void* mapping = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (mapping == MAP_FAILED) fail("cannot map" + noun + ": " + std::strerror(errno));
    mapping_ = mapping;
    size_ = size;
}

MappedTensorFile::~MappedTensorFile() {
    if (mapping_ != nullptr) ::munmap(mapping_, size_);
}

MappedTensorFile::MappedTensorFile(MappedTensorFile&& other) noexcept
    : mapping_(std::exchange(other.mapping_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedTensorFile& MappedTensorFile::operator=(MappedTensorFile&& other) noexcept {
    if (this != &other) {
        if (mapping_ != nullptr) ::munmap(mapping_, size_);
        mapping_ = std::exchange(other.mapping_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

std::string tensorShapeText(const std::vector<int64_t>& shape) {
    std::string text = "[";
    for (size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
    return text + "]";
}

std::map<std::string, HeaderTensor> parseTensorHeader(const uint8_t* json, size_t length, uint64_t dataSize,
                                                      const TensorHeaderFormat& format, const HeaderFailure& fail) {
    nlohmann::json header;
    try {
        header = nlohmann::json::parse(json, json + length);
    } catch (const nlohmann::json::exception& error) {
        fail("malformed header: " + textExcerpt(error.what(), 200));
    }
    if (!header.is_object()) fail("malformed header: not a JSON object");

    const std::string offsetsKey = format.offsetsKey;
    std::map<std::string, HeaderTensor> tensors;
    for (const auto& item : header.items()) {
        const std::string& name = item.key();
        if (format.skipsMetadata && name == "__metadata__") continue;
        const nlohmann::json& entry = item.value();
        auto bad = [&](const std::string& what) { fail("tensor \"" + textExcerpt(name) + "\": " + what); };
        if (!entry.is_object()) bad("entry is not an object");
        auto dtype = entry.find("dtype");
        if (dtype == entry.end() || !dtype->is_string()) bad("missing dtype");
        auto type = format.dataTypeNamed(dtype->get<std::string>());
        if (!type || (*type != DataType::Float16 && *type != DataType::Float32))
            bad("unsupported dtype \"" + textExcerpt(dtype->get<std::string>()) + "\"" + format.dataTypeHint);
        HeaderTensor tensor;
        tensor.dataType = *type;
        auto shape = entry.find("shape");
        if (shape == entry.end() || !shape->is_array()) bad("missing shape");
        uint64_t count = 1;
        for (const auto& dim : *shape) {
            if (!dim.is_number_unsigned()) bad("shape entries must be non-negative integers");
            uint64_t d = dim.get<uint64_t>();
            if (d > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ||
                (d != 0 && count > (std::numeric_limits<uint64_t>::max() / 8) / d))
                bad("shape too large");
            count *= d;
            tensor.shape.push_back(static_cast<int64_t>(d));
        }
        auto offsets = entry.find(offsetsKey);
        if (offsets == entry.end() || !offsets->is_array() || offsets->size() != 2 || !(*offsets)[0].is_number_unsigned() ||
            !(*offsets)[1].is_number_unsigned())
            bad(offsetsKey + " must be two non-negative integers");
        uint64_t begin = (*offsets)[0].get<uint64_t>();
        uint64_t end = (*offsets)[1].get<uint64_t>();
        if (begin > end) bad(offsetsKey + " decrease");
        if (end > dataSize)
            bad(offsetsKey + " [" + std::to_string(begin) + ", " + std::to_string(end) + "] lie past the end of the data (" +
                std::to_string(dataSize) + " bytes)");
        if (begin % format.alignment != 0)
            bad("data is not " + std::to_string(format.alignment) + "-byte aligned");
        uint64_t expected = count * traits(tensor.dataType).size;
        if (end - begin != expected)
            bad("holds " + std::to_string(end - begin) + " bytes but shape " + tensorShapeText(tensor.shape) + " needs " +
                std::to_string(expected));
        tensor.begin = static_cast<size_t>(begin);
        tensor.byteCount = static_cast<size_t>(expected);
        tensors.emplace(name, std::move(tensor));
    }
    return tensors;
}

}  // namespace mlruntime
