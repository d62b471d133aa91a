// What the pipeline stages (normalizers, pre-tokenizers, post-processors, decoders) share when they
// are built from a tokenizer file: the error for a configuration they cannot use, and the readers of
// their keys. Every key is looked up as written and then in its snake_case form (Config does that).
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "DaroriCore/External/Hub/Config.hpp"

namespace darori {

// A stage configuration that cannot be built: an unknown "type" or a missing required key.
// what() is the fixed message, such as "Unsupported Decoder type: Foo".
class StageConfigurationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace stage {

// The "type" text of a configuration; absent when it is missing or not a string (the stage is
// then absent).
inline std::optional<std::string> typeName(const Config& config) { return config["type"].string(); }

// A flag read leniently (booleans, the integer 1, "true"/"t"/"1", "false"/"f"/"0"); `fallback`
// for anything else.
inline bool flag(const Config& config, std::string_view key, bool fallback) {
    return config[key].boolean().value_or(fallback);
}

// A text member, used only when it is a string; `fallback` otherwise.
inline std::string text(const Config& config, std::string_view key, std::string fallback) {
    if (auto s = config[key].string()) return *s;
    return fallback;
}

}  // namespace stage
}  // namespace darori
