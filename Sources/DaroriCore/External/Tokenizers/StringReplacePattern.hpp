// A replacement read from a tokenizer file: every occurrence of a literal text, or every match of a
// regular expression, replaced by a given text. Shared by the replace normalizer and the replace
// decoder. Immutable; callable from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "DaroriCore/External/Hub/Config.hpp"
#include "DaroriCore/External/Tokenizers/Regex.hpp"

namespace darori {

struct StringReplacePattern {
    struct Regexp {
        Regex regexp;
        std::string replacement;  // a template: "$1" inserts a group, a backslash escapes
    };
    struct Literal {
        std::string pattern;
        std::string replacement;
    };
    std::variant<Regexp, Literal> value;

    // From a whole "Replace" configuration: absent when "content" is not a string; else the
    // literal of "pattern"'s string "String" (read first), else the compiled "pattern" "Regex",
    // else absent. Throws StageConfigurationError "Cannot build regexp from <pattern>" when the
    // "Regex" does not compile.
    static std::optional<StringReplacePattern> from(const Config& config);

    // The text with every non-overlapping occurrence, left to right, replaced. An empty literal
    // changes nothing.
    std::string replace(std::string_view text) const;
};

}  // namespace darori
