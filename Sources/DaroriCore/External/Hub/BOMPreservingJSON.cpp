#include "DaroriCore/External/Hub/BOMPreservingJSON.hpp"

#include <string>

namespace darori {
namespace {

// Throws a parse error at the first bracket that opens a level beyond MAX_JSON_NESTING. Brackets
// inside strings do not count; malformed text is left for the parser to report.
void checkNesting(std::string_view bytes) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > MAX_JSON_NESTING) {
                throw nlohmann::ordered_json::parse_error::create(
                    101, i + 1, "arrays and objects nest deeper than " + std::to_string(MAX_JSON_NESTING) + " levels", nullptr);
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
}

}  // namespace

nlohmann::ordered_json bomPreservingJsonObject(std::string_view bytes) {
    checkNesting(bytes);
    try {
        return nlohmann::ordered_json::parse(bytes.begin(), bytes.end());
    } catch (const nlohmann::ordered_json::out_of_range& e) {
        // A number too large for a double ("1e400") is reported by the parser as out of range;
        // to callers it is just another malformed document.
        throw nlohmann::ordered_json::parse_error::create(101, 0, e.what(), nullptr);
    }
}

}  // namespace darori
