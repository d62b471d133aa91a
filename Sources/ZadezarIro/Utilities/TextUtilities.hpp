// The compression ratio: how much a window's text or tokens shrink under DEFLATE, the repetition
// measure that triggers a temperature fallback. Pure and thread-safe.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace zadezariro::TextUtilities {

// The DEFLATE level of every ratio: fixed, since the ratio (and with it the fallback decision)
// depends on it.
inline constexpr int COMPRESSION_LEVEL = 5;

// UTF-8 byte count / raw DEFLATE (RFC 1951) byte count, as a 32-bit float. +infinity for an empty
// text, a text that is not valid UTF-8 ("String encoding error" at debug) or a compression
// failure ("Compression error: ..." at debug).
float compressionRatio(std::string_view text);
// The same over the ids laid out as consecutive 4-byte little-endian signed integers; +infinity
// for an empty list.
float compressionRatio(const std::vector<std::int64_t>& tokens);

}  // namespace zadezariro::TextUtilities
