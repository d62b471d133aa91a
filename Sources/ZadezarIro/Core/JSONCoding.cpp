#include "ZadezarIro/Core/JSONCoding.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "DaroriCore/NumberText.hpp"

namespace zadezariro {

namespace {
const char* kindName(DecodingError::Kind kind) {
    switch (kind) {
        case DecodingError::Kind::keyNotFound: return "keyNotFound";
        case DecodingError::Kind::typeMismatch: return "typeMismatch";
        case DecodingError::Kind::valueNotFound: return "valueNotFound";
        case DecodingError::Kind::dataCorrupted: return "dataCorrupted";
    }
    return "dataCorrupted";
}

[[noreturn]] void mismatch(std::string_view path, std::string_view expected) {
    throw DecodingError(DecodingError::Kind::typeMismatch, std::string(path), "Expected " + std::string(expected));
}
}  // namespace

DecodingError::DecodingError(Kind kind, std::string codingPath, std::string debugDescription)
    : std::runtime_error(std::string(kindName(kind)) + " at " + (codingPath.empty() ? "<root>" : codingPath) + ": " +
                         debugDescription),
      kind_(kind),
      codingPath_(std::move(codingPath)),
      debugDescription_(std::move(debugDescription)) {}

namespace json {

Json fromFloat(float value) {
    if (!std::isfinite(value)) throw EncodingError("Unable to encode " + darori::floatDescription(value) + " directly in JSON");
    // The shortest text that reads back as this float, read as a double: 0.2f is written as 0.2.
    return Json(darori::parseDouble(darori::floatDescription(value)).value_or(static_cast<double>(value)));
}

Json fromDouble(double value) {
    if (!std::isfinite(value)) throw EncodingError("Unable to encode " + darori::doubleDescription(value) + " directly in JSON");
    return Json(value);
}

void requireObject(const Json& j, std::string_view path) {
    if (!j.is_object()) mismatch(path, "a JSON object");
}

const Json& require(const Json& obj, std::string_view key, std::string_view path) {
    requireObject(obj, path);
    const auto it = obj.find(key);
    if (it == obj.end())
        throw DecodingError(DecodingError::Kind::keyNotFound, std::string(path), "No value for key \"" + std::string(key) + "\"");
    if (it->is_null())
        throw DecodingError(DecodingError::Kind::valueNotFound, join(path, key), "Expected a value but found null");
    return *it;
}

const Json* optional(const Json& obj, std::string_view key) {
    if (!obj.is_object()) return nullptr;
    const auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return nullptr;
    return &*it;
}

bool toBool(const Json& v, std::string_view path) {
    if (!v.is_boolean()) mismatch(path, "a boolean");
    return v.get<bool>();
}

std::int64_t toInt64(const Json& v, std::string_view path) {
    if (v.is_number_integer()) {
        if (v.is_number_unsigned() && v.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
            mismatch(path, "an integer that fits 64 bits");
        return v.get<std::int64_t>();
    }
    if (v.is_number_float()) {
        const double d = v.get<double>();
        if (std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0) return static_cast<std::int64_t>(d);
    }
    mismatch(path, "an integer");
}

double toDouble(const Json& v, std::string_view path) {
    if (!v.is_number()) mismatch(path, "a number");
    return v.get<double>();
}

float toFloat(const Json& v, std::string_view path) {
    const double d = toDouble(v, path);
    if (std::fabs(d) > static_cast<double>(std::numeric_limits<float>::max()))
        throw DecodingError(DecodingError::Kind::dataCorrupted, std::string(path),
                            "Parsed JSON number <" + v.dump() + "> does not fit in Float.");
    return static_cast<float>(d);
}

std::string toString(const Json& v, std::string_view path) {
    if (!v.is_string()) mismatch(path, "a string");
    return v.get<std::string>();
}

namespace {
template <class T, class Read>
std::vector<T> list(const Json& v, std::string_view path, Read read) {
    if (!v.is_array()) mismatch(path, "an array");
    std::vector<T> out;
    out.reserve(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) out.push_back(read(v[i], join(path, i)));
    return out;
}
}  // namespace

std::vector<std::int64_t> toInt64List(const Json& v, std::string_view path) {
    return list<std::int64_t>(v, path, [](const Json& e, const std::string& p) { return toInt64(e, p); });
}
std::vector<float> toFloatList(const Json& v, std::string_view path) {
    return list<float>(v, path, [](const Json& e, const std::string& p) { return toFloat(e, p); });
}
std::vector<std::string> toStringList(const Json& v, std::string_view path) {
    return list<std::string>(v, path, [](const Json& e, const std::string& p) { return toString(e, p); });
}

std::string join(std::string_view path, std::string_view key) {
    if (path.empty()) return std::string(key);
    return std::string(path) + "." + std::string(key);
}
std::string join(std::string_view path, std::size_t index) {
    return std::string(path) + "[" + std::to_string(index) + "]";
}

}  // namespace json
}  // namespace zadezariro
