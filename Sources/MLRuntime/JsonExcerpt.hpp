#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace mlruntime {

// Short renderings of values read from a file, for error messages: a damaged file may hold
// megabytes of text or values nested a million levels deep, and an error must neither repeat the
// one nor recurse into the other.

// `text` itself when it has at most `limit` bytes, else its first `limit` bytes (never cutting a
// UTF-8 sequence) followed by "...".
std::string textExcerpt(std::string_view text, size_t limit = 60);

// A flat excerpt of `value`: a scalar as JSON text; an array or object with its first three
// elements, nested arrays and objects shown as "[...]" and "{...}"; at most about 80 bytes in
// all. Never recurses and never throws.
std::string jsonExcerpt(const nlohmann::json& value);

}  // namespace mlruntime
