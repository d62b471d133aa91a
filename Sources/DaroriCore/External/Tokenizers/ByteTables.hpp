// The byte-level character tables: every byte value stands for one printable character, so a
// byte-level vocabulary can spell any byte sequence in visible text. Bytes 0x21-0x7E, 0xA1-0xAC and
// 0xAE-0xFF stand for the character with the same code point; the other 68 bytes (0x00-0x20,
// 0x7F-0xA0 and 0xAD), in increasing order, for U+0100 ... U+0143 (the space is U+0120).
//
// Built once per process on first use (thread-safe), then only read.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace darori {

// Byte -> its character, as UTF-8 text.
const std::array<std::string, 256>& byteEncoder();
// Character (UTF-8 text) -> its byte: the inverse of byteEncoder.
const std::unordered_map<std::string, std::uint8_t>& byteDecoder();

// The byte a character stands for, absent for a code point that is none of the 256 characters.
std::optional<std::uint8_t> byteForCharacter(char32_t codePoint);

// Every byte of `bytes` replaced by its character.
std::string byteLevelEncoded(std::string_view bytes);

}  // namespace darori
