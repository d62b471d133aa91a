// Small helpers for reading records from JSON with clear errors, and the ISO 8601 date form.
//
// Records are written with nlohmann::ordered_json and explicit keys in a fixed order; readers check
// every key's JSON type and throw DecodingError naming the key. All functions are pure and thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace talkweft {

// A JSON value that does not have the shape of the record being read (missing key, null, wrong
// type, unknown enumeration name, text that is not JSON). what() says which key and why.
class DecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The dates of stored records: system time, written and read in whole seconds.
using Date = std::chrono::system_clock::time_point;

// "YYYY-MM-DDTHH:MM:SSZ" in UTC; fractions of a second are dropped.
std::string formatISO8601(Date date);
// Parses exactly the form above (four-digit year, "T", "Z", no fraction, valid calendar fields);
// absent for anything else, and for dates the clock cannot represent (before 1678 or after 2261).
std::optional<Date> parseISO8601(std::string_view text);

namespace jsoncoding {

using Json = nlohmann::ordered_json;

// Throws DecodingError("<what>: expected a JSON object") unless `j` is an object.
void requireObject(const Json& j, std::string_view what);

// The value under `key`; throws DecodingError when missing or null.
const Json& require(const Json& obj, std::string_view key);
// Required values of one JSON type; throw DecodingError when missing, null or of another type.
std::string requireString(const Json& obj, std::string_view key);
bool requireBool(const Json& obj, std::string_view key);
std::int64_t requireInt64(const Json& obj, std::string_view key);  // see int64Value
double requireNumber(const Json& obj, std::string_view key);         // integers accepted
Date requireDate(const Json& obj, std::string_view key);             // an ISO 8601 string
// Optional values: absent when missing or null; DecodingError when of another type.
std::optional<std::string> optionalString(const Json& obj, std::string_view key);
// A list of strings: empty when missing or null; DecodingError for another type or element type.
std::vector<std::string> stringList(const Json& obj, std::string_view key);

// A JSON number with an integral value inside the signed 64-bit range (5 and 5.0 alike); throws
// DecodingError for anything else (2.5, 1e300, a string).
std::int64_t int64Value(const Json& v);

// Parses text as JSON (no comments, no trailing garbage); throws DecodingError when it is not JSON.
Json parse(std::string_view text);

}  // namespace jsoncoding
}  // namespace talkweft
