// A strict reader of URL strings (RFC 3986 syntax) that yields the parts the history key needs.
//
// Stands in for the platform's URL-components parser: a string that is not a URI reference
// (a character outside the allowed set, a bad percent escape, a bad scheme or port) gives nothing.
// Pure and thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace talkweft {

struct URLComponents {
    // The host, percent-decoded; absent when the string has no authority ("//..."). An authority
    // with an empty host ("file:///x") gives the empty string. IP literals keep their brackets.
    std::optional<std::string> host;
    // The path, percent-decoded; empty when the URL has none.
    std::string path;
    // The text after the first "#", percent-decoded; absent when there is no "#".
    std::optional<std::string> fragment;
};

// Splits `text` into its components. Absent when `text` is not a valid URI reference.
// Percent escapes whose bytes are not UTF-8 are left encoded.
std::optional<URLComponents> parseURLComponents(std::string_view text);

}  // namespace talkweft
