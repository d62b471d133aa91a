#include "Platform/PNG.hpp"

#include <cstdint>
#include <limits>
#include <vector>

#include <zlib.h>

namespace talkweft::platform {

namespace {

void putU32(std::string& out, std::uint32_t v) {
    out.push_back(static_cast<char>((v >> 24) & 0xff));
    out.push_back(static_cast<char>((v >> 16) & 0xff));
    out.push_back(static_cast<char>((v >> 8) & 0xff));
    out.push_back(static_cast<char>(v & 0xff));
}

void putChunk(std::string& out, const char* type, const std::string& body) {
    putU32(out, static_cast<std::uint32_t>(body.size()));
    std::string typed(type, 4);
    typed += body;
    out += typed;
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(typed.data()), static_cast<uInt>(typed.size()));
    putU32(out, static_cast<std::uint32_t>(crc));
}

}  // namespace

std::optional<std::string> encodePNG(const Image& image) {
    if (image.width <= 0 || image.height <= 0) return std::nullopt;
    const std::size_t stride = static_cast<std::size_t>(image.width) * 4;
    if (image.rgba.size() != stride * static_cast<std::size_t>(image.height)) return std::nullopt;

    // Each row starts with filter type 0 (none).
    std::vector<std::uint8_t> raw;
    raw.reserve((stride + 1) * static_cast<std::size_t>(image.height));
    for (int y = 0; y < image.height; ++y) {
        raw.push_back(0);
        auto row = image.rgba.begin() + static_cast<std::ptrdiff_t>(stride * static_cast<std::size_t>(y));
        raw.insert(raw.end(), row, row + static_cast<std::ptrdiff_t>(stride));
    }
    if (raw.size() > std::numeric_limits<uLong>::max() / 2) return std::nullopt;
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::string packed(packedSize, '\0');
    if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize, raw.data(), static_cast<uLong>(raw.size()),
                  Z_DEFAULT_COMPRESSION) != Z_OK) {
        return std::nullopt;
    }
    packed.resize(packedSize);

    std::string out("\x89PNG\r\n\x1a\n", 8);
    std::string header;
    putU32(header, static_cast<std::uint32_t>(image.width));
    putU32(header, static_cast<std::uint32_t>(image.height));
    header += std::string("\x08\x06\x00\x00\x00", 5);  // depth 8, RGBA, deflate, filter 0, no interlace
    putChunk(out, "IHDR", header);
    putChunk(out, "IDAT", packed);
    putChunk(out, "IEND", std::string());
    return out;
}

}  // namespace talkweft::platform
