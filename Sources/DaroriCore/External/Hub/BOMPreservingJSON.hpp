// JSON reading for configuration files that keeps byte-order marks inside strings: a string whose
// text begins with U+FEFF parses to a string that begins with exactly one U+FEFF. The parser used
// here keeps such marks as they are, so the bytes are parsed unchanged (no mark is doubled).
#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

namespace darori {

// Parses the raw bytes of a JSON document (a UTF-8 byte-order mark before the document itself is
// skipped). Throws nlohmann::ordered_json::parse_error for text that is not JSON. Thread-safe.
nlohmann::ordered_json bomPreservingJsonObject(std::string_view bytes);

}  // namespace darori
