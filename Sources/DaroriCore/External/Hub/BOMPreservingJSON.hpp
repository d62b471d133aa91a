// JSON reading for configuration files that keeps byte-order marks inside strings: a string whose
// text begins with U+FEFF parses to a string that begins with exactly one U+FEFF. The parser used
// here keeps such marks as they are, so the bytes are parsed unchanged (no mark is doubled).
#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

#include "DaroriCore/External/Hub/Config.hpp"

namespace darori {

// Arrays and objects may nest this deep; deeper documents are refused, so that the recursive
// readers of a parsed tree (Config) cannot run out of stack on a hostile file.
inline constexpr int MAX_JSON_NESTING = 512;

// Parses the raw bytes of a JSON document (a UTF-8 byte-order mark before the document itself is
// skipped). Throws nlohmann::ordered_json::parse_error for text that is not JSON or that nests
// arrays and objects deeper than MAX_JSON_NESTING. Thread-safe.
nlohmann::ordered_json bomPreservingJsonObject(std::string_view bytes);

// The same document read straight into a Config, equal in every respect (values, duplicate keys
// keeping the last value, the dictionaries' iteration order, errors) to
// Config::convertToBinaryDistinctKeys(bomPreservingJsonObject(bytes)), without the ordered tree in
// between, whose key lookups make large objects slow to read. Throws what bomPreservingJsonObject
// throws. Thread-safe.
Config bomPreservingConfig(std::string_view bytes);

}  // namespace darori
