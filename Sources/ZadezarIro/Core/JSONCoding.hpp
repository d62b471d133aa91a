// JSON coding of the engine's records: nlohmann::ordered_json with explicit keys in a fixed order.
//
// Readers are strict: a required key that is missing, or any value of the wrong JSON type, throws
// DecodingError naming the key path; optional keys may be missing or null. Writers refuse numbers
// that JSON cannot hold (NaN, infinities) with EncodingError instead of writing null. 32-bit floats
// are written in their shortest decimal form (0.2f as 0.2). All functions are pure and thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace zadezariro {

using Json = nlohmann::ordered_json;

// A JSON value that does not have the shape of the record being read. what() is
// "<kind> at <codingPath>: <debugDescription>".
class DecodingError : public std::runtime_error {
public:
    enum class Kind { keyNotFound, typeMismatch, valueNotFound, dataCorrupted };
    DecodingError(Kind kind, std::string codingPath, std::string debugDescription);

    Kind kind() const noexcept { return kind_; }
    const std::string& codingPath() const noexcept { return codingPath_; }
    const std::string& debugDescription() const noexcept { return debugDescription_; }

private:
    Kind kind_;
    std::string codingPath_;
    std::string debugDescription_;
};

// A value that cannot be written as JSON (a non-finite number); what() names the value.
class EncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace json {

// The JSON number for a 32-bit float, in its shortest decimal form; throws EncodingError for NaN
// and infinities.
Json fromFloat(float value);
// The JSON number for a double; throws EncodingError for NaN and infinities.
Json fromDouble(double value);

// Throws DecodingError(typeMismatch) unless `j` is an object.
void requireObject(const Json& j, std::string_view path);
// The value under `key`; throws DecodingError(keyNotFound) when missing, valueNotFound when null.
const Json& require(const Json& obj, std::string_view key, std::string_view path);
// The value under `key`, or null when missing or null.
const Json* optional(const Json& obj, std::string_view key);

// Typed reads of one value; `path` names it in errors. Integers accept any JSON number with an
// integral value inside the signed 64-bit range (5 and 5.0); floats accept any number within the
// 32-bit float range (a larger one is dataCorrupted).
bool toBool(const Json& v, std::string_view path);
std::int64_t toInt64(const Json& v, std::string_view path);
float toFloat(const Json& v, std::string_view path);
double toDouble(const Json& v, std::string_view path);
std::string toString(const Json& v, std::string_view path);
std::vector<std::int64_t> toInt64List(const Json& v, std::string_view path);
std::vector<float> toFloatList(const Json& v, std::string_view path);
std::vector<std::string> toStringList(const Json& v, std::string_view path);

// "<path>.<key>" (just the key when the path is empty).
std::string join(std::string_view path, std::string_view key);
std::string join(std::string_view path, std::size_t index);

}  // namespace json
}  // namespace zadezariro
