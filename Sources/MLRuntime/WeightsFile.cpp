#include "MLRuntime/WeightsFile.hpp"


#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>

#include "MLRuntime/Error.hpp"
#include "MLRuntime/JsonExcerpt.hpp"

namespace mlruntime {

namespace {

constexpr size_t DATA_ALIGNMENT = 64;

size_t alignUp(size_t value) { return (value + DATA_ALIGNMENT - 1) / DATA_ALIGNMENT * DATA_ALIGNMENT; }


}  // namespace

void WeightsFile::fail(const std::string& problem) const {
    throw Error(Error::Code::invalidModel, path_.string() + ": " + problem);
}

std::shared_ptr<const WeightsFile> WeightsFile::open(const std::filesystem::path& path) {
    std::shared_ptr<WeightsFile> file(new WeightsFile());
    file->path_ = path;
    file->mapped_ = MappedTensorFile(path, " weights file", [&](const std::string& problem) { file->fail(problem); });
    const size_t size = file->mapped_.size();
    const uint8_t* bytes = file->mapped_.bytes();
    const uint64_t headerLength = readTensorHeaderLength(bytes);
    if (headerLength > size - 8)
        file->fail("truncated: header length " + std::to_string(headerLength) + " exceeds the file size " +
                   std::to_string(size));
    size_t dataStart = alignUp(8 + static_cast<size_t>(headerLength));
    if (dataStart > size) dataStart = size;  // no data at all; any tensor with bytes fails below
    file->data_ = bytes + dataStart;
    file->dataSize_ = size - dataStart;
    const TensorHeaderFormat format{"offsets", [](const std::string& name) { return dataTypeNamed(name); }, "",
                                    DATA_ALIGNMENT, false};
    file->tensors_ = parseTensorHeader(bytes + 8, static_cast<size_t>(headerLength), file->dataSize_, format,
                                       [&](const std::string& problem) { file->fail(problem); });
    return file;
}

const WeightsFile::Tensor& WeightsFile::require(const std::string& name, const std::vector<int64_t>& shape) const {
    auto found = tensors_.find(name);
    if (found == tensors_.end()) fail("missing tensor \"" + name + "\"");
    if (found->second.shape != shape)
        fail("tensor \"" + name + "\" has shape " + tensorShapeText(found->second.shape) + ", the model needs " +
             tensorShapeText(shape));
    return found->second;
}

std::vector<float> WeightsFile::floats(const std::string& name, const std::vector<int64_t>& shape) const {
    const Tensor& tensor = require(name, shape);
    std::vector<float> values(static_cast<size_t>(tensor.count()));
    if (tensor.dataType == DataType::Float32)
        std::memcpy(values.data(), bytes(tensor), tensor.byteCount);
    else
        halfToFloat(static_cast<const Half*>(bytes(tensor)), values.data(), values.size());
    return values;
}

std::vector<Half> WeightsFile::halves(const std::string& name, const std::vector<int64_t>& shape) const {
    const Tensor& tensor = require(name, shape);
    std::vector<Half> values(static_cast<size_t>(tensor.count()));
    if (tensor.dataType == DataType::Float16)
        std::memcpy(values.data(), bytes(tensor), tensor.byteCount);
    else
        floatToHalf(static_cast<const float*>(bytes(tensor)), values.data(), values.size());
    return values;
}

void writeWeightsFile(const std::filesystem::path& path, const std::vector<WeightsEntry>& entries) {
    // Each tensor converted to its stored type first; the raw writer lays out the file.
    std::vector<std::vector<Half>> halves(entries.size());
    std::vector<RawWeightsEntry> raw;
    raw.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto& entry = entries[i];
        if (entry.dataType != DataType::Float16 && entry.dataType != DataType::Float32)
            throw Error(Error::Code::invalidArgument, "tensor \"" + entry.name + "\": only float16 and float32 are stored");
        size_t count = 1;
        for (auto d : entry.shape) count *= static_cast<size_t>(d);
        if (count != entry.values.size())
            throw Error(Error::Code::invalidArgument, "tensor \"" + entry.name + "\": value count does not match its shape");
        const void* bytes = entry.values.data();
        if (entry.dataType == DataType::Float16) {
            halves[i].resize(count);
            floatToHalf(entry.values.data(), halves[i].data(), count);
            bytes = halves[i].data();
        }
        raw.push_back({entry.name, entry.dataType, entry.shape, bytes});
    }
    writeRawWeightsFile(path, raw);
}

void writeRawWeightsFile(const std::filesystem::path& path, const std::vector<RawWeightsEntry>& entries) {
    nlohmann::ordered_json header = nlohmann::ordered_json::object();
    std::vector<size_t> byteCounts;
    size_t offset = 0;
    for (const auto& entry : entries) {
        if (entry.dataType != DataType::Float16 && entry.dataType != DataType::Float32)
            throw Error(Error::Code::invalidArgument, "tensor \"" + entry.name + "\": only float16 and float32 are stored");
        size_t count = 1;
        for (auto d : entry.shape) count *= static_cast<size_t>(d);
        if (count != 0 && entry.bytes == nullptr)
            throw Error(Error::Code::invalidArgument, "tensor \"" + entry.name + "\": no data");
        size_t byteCount = count * traits(entry.dataType).size;
        byteCounts.push_back(byteCount);
        header[entry.name] = {{"dtype", traits(entry.dataType).name}, {"shape", entry.shape},
                              {"offsets", {offset, offset + byteCount}}};
        offset = alignUp(offset + byteCount);
    }
    std::string text = header.dump();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw Error(Error::Code::invalidModel, path.string() + ": cannot create weights file");
    uint64_t length = text.size();
    uint8_t prefix[8];
    for (int i = 0; i < 8; ++i) prefix[i] = static_cast<uint8_t>(length >> (8 * i));
    out.write(reinterpret_cast<const char*>(prefix), 8);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    std::string padding(alignUp(8 + text.size()) - 8 - text.size(), '\0');
    out.write(padding.data(), static_cast<std::streamsize>(padding.size()));
    size_t written = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        out.write(static_cast<const char*>(entries[i].bytes), static_cast<std::streamsize>(byteCounts[i]));
        written += byteCounts[i];
        if (i + 1 == entries.size()) break;  // the file ends with the last tensor's data
        std::string gap(alignUp(written) - written, '\0');
        out.write(gap.data(), static_cast<std::streamsize>(gap.size()));
        written += gap.size();
    }
    out.flush();
    if (!out) throw Error(Error::Code::invalidModel, path.string() + ": cannot write weights file");
}

}  // namespace mlruntime
