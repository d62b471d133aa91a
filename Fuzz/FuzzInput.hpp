// Helpers shared by the fuzz targets: splitting one input into several parts, writing it to a file.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

inline std::string_view asText(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The input cut at its NUL bytes into at most `parts` pieces (the last piece keeps any further NULs);
// missing pieces are empty.
inline std::vector<std::string_view> splitInput(std::string_view input, std::size_t parts) {
    std::vector<std::string_view> out;
    while (out.size() + 1 < parts) {
        const std::size_t cut = input.find('\0');
        if (cut == std::string_view::npos) break;
        out.push_back(input.substr(0, cut));
        input.remove_prefix(cut + 1);
    }
    out.push_back(input);
    out.resize(parts);
    return out;
}

// A little-endian integer from the first eight bytes of `input` (fewer when it is shorter), which
// are removed from it.
inline std::int64_t takeInteger(std::string_view& input) {
    std::uint64_t v = 0;
    const std::size_t n = input.size() < 8 ? input.size() : 8;
    std::memcpy(&v, input.data(), n);
    input.remove_prefix(n);
    return static_cast<std::int64_t>(v);
}

// Writes the input to this process's scratch file /tmp/talkweft-<tag>-<pid>.bin (the same file on
// every call) and returns its path, or an empty string when it cannot be written.
inline std::string writeScratchFile(const uint8_t* data, size_t size, const char* tag) {
    const std::string path = "/tmp/talkweft-" + std::string(tag) + "-" + std::to_string(getpid()) + ".bin";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return {};
    const bool written = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && written ? path : std::string();
}

}  // namespace fuzz

// Stops the fuzzer with a report when a property of the code under test does not hold.
#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)
