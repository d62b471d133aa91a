#include "MLRuntime/Safetensors.hpp"


#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>

#include "MLRuntime/Error.hpp"
#include "MLRuntime/JsonExcerpt.hpp"

namespace mlruntime {

namespace {

[[noreturn]] void refuseSafetensors(const std::string& name, const std::string& problem) {
    throw Error(Error::Code::invalidModel, name + ": " + problem);
}

std::optional<DataType> safetensorsType(const std::string& dtype) {
    if (dtype == "F32") return DataType::Float32;
    if (dtype == "F16") return DataType::Float16;
    return std::nullopt;
}

const char* safetensorsTypeName(DataType type) { return type == DataType::Float16 ? "F16" : "F32"; }

}  // namespace

std::map<std::string, SafetensorsFile::Tensor> SafetensorsFile::parse(const uint8_t* bytes, size_t size,
                                                                      const std::string& name) {
    if (size < 8)
        refuseSafetensors(name, "truncated: " + std::to_string(size) + " bytes, too short for the header length");
    const uint64_t headerLength = readTensorHeaderLength(bytes);
    if (headerLength > size - 8)
        refuseSafetensors(name, "truncated: header length " + std::to_string(headerLength) + " exceeds the file size " +
                                    std::to_string(size));
    if (headerLength > MAX_HEADER_BYTES)
        refuseSafetensors(name, "header of " + std::to_string(headerLength) + " bytes is larger than " +
                                    std::to_string(MAX_HEADER_BYTES));
    const size_t dataSize = size - 8 - static_cast<size_t>(headerLength);
    const TensorHeaderFormat format{"data_offsets", safetensorsType, " (F16 and F32 are read)", 1, true};
    return parseTensorHeader(bytes + 8, static_cast<size_t>(headerLength), dataSize, format,
                             [&](const std::string& problem) { refuseSafetensors(name, problem); });
}

std::shared_ptr<const SafetensorsFile> SafetensorsFile::open(const std::filesystem::path& path) {
    std::shared_ptr<SafetensorsFile> file(new SafetensorsFile());
    file->path_ = path;
    const std::string name = path.string();
    file->mapped_ = MappedTensorFile(path, "", [&](const std::string& problem) { refuseSafetensors(name, problem); });
    const uint8_t* bytes = file->mapped_.bytes();
    file->tensors_ = parse(bytes, file->mapped_.size(), name);
    file->data_ = bytes + 8 + readTensorHeaderLength(bytes);
    return file;
}

void writeSafetensorsFile(const std::filesystem::path& path, const std::vector<SafetensorsEntry>& entries) {
    nlohmann::ordered_json header = nlohmann::ordered_json::object();
    header["__metadata__"] = {{"format", "pt"}};
    size_t offset = 0;
    for (const auto& entry : entries) {
        if (entry.dataType != DataType::Float16 && entry.dataType != DataType::Float32)
            throw Error(Error::Code::invalidArgument, "tensor \"" + entry.name + "\": only F16 and F32 are written");
        size_t count = 1;
        for (auto d : entry.shape) count *= static_cast<size_t>(d);
        if (count * traits(entry.dataType).size != entry.bytes.size())
            throw Error(Error::Code::invalidArgument, "tensor \"" + entry.name + "\": byte count does not match its shape");
        header[entry.name] = {{"dtype", safetensorsTypeName(entry.dataType)},
                              {"shape", entry.shape},
                              {"data_offsets", {offset, offset + entry.bytes.size()}}};
        offset += entry.bytes.size();
    }
    std::string text = header.dump();
    // Padded with blanks to a multiple of 8, as the hub's writers do, so the data stays aligned.
    text.append((8 - text.size() % 8) % 8, ' ');
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw Error(Error::Code::invalidModel, path.string() + ": cannot create file");
    uint8_t prefix[8];
    for (int i = 0; i < 8; ++i) prefix[i] = static_cast<uint8_t>(static_cast<uint64_t>(text.size()) >> (8 * i));
    out.write(reinterpret_cast<const char*>(prefix), 8);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    for (const auto& entry : entries) out.write(entry.bytes.data(), static_cast<std::streamsize>(entry.bytes.size()));
    out.flush();
    if (!out) throw Error(Error::Code::invalidModel, path.string() + ": cannot write file");
}

}  // namespace mlruntime
