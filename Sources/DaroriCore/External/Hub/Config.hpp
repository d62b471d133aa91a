// The dynamic JSON value that model-repository configuration files are held in and read through.
//
// Dictionary keys are byte-exact (BinaryDistinctString): two keys that differ only in Unicode
// normalisation stay two keys. Field access by name tries the key as written, then its snake_case
// form, so config["modelType"] finds "model_type". Readers never fail: a missing key, another
// case or a non-dictionary receiver gives null or an absent result.
//
// Values are immutable once built; containers are shared between copies, so copying is cheap.
// Const use from many threads is safe.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "DaroriCore/BinaryDistinctString.hpp"

namespace darori {

class Config;

// A token pair: an id and its text.
struct ConfigToken {
    std::uint64_t id = 0;
    BinaryDistinctString text;
    friend bool operator==(const ConfigToken&, const ConfigToken&) = default;
};

// The tagged union inside a Config. Cases in this order: string, integer (64-bit), boolean,
// floating (32-bit), dictionary, array, token, null.
class ConfigData {
public:
    enum class Kind { string, integer, boolean, floating, dictionary, array, token, null };
    using Dictionary = std::unordered_map<BinaryDistinctString, Config>;
    using Array = std::vector<Config>;

    // Defined below Config: building the variant needs Config complete.
    ConfigData();
    explicit ConfigData(BinaryDistinctString s);
    explicit ConfigData(std::int64_t i);
    explicit ConfigData(bool b);
    explicit ConfigData(float f);
    explicit ConfigData(Dictionary d);
    explicit ConfigData(Array a);
    explicit ConfigData(ConfigToken t);

    Kind kind() const { return static_cast<Kind>(storage_.index()); }

    // Readers: the payload of their own case, absent (or null pointer) for every other case.
    std::optional<std::string> string() const;         // UTF-8 text of a string
    const BinaryDistinctString* binaryString() const;  // the exact units of a string
    std::optional<std::int64_t> integer() const;
    std::optional<float> floating() const;
    const Dictionary* dictionary() const;
    const Array* array() const;
    // Lenient flag: a boolean itself; an integer is true exactly when it is 1; a string, lower-cased,
    // "true"/"t"/"1" is true and "false"/"f"/"0" false; anything else absent.
    std::optional<bool> boolean() const;
    // The texts of the string elements of an array, in order, other elements skipped.
    std::optional<std::vector<std::string>> get() const;
    // A token, or an array of exactly [string, non-negative integer] read as (integer, string).
    std::optional<ConfigToken> token() const;

    std::string description() const;

    // Equality: same case and equal payload (strings by units, containers element-wise, tokens by
    // id and units), except that the numeric cases (integer, boolean as 0/1, floating) compare by
    // exact numeric value. Consistent with hashing; transitive (NaN equals nothing).
    friend bool operator==(const ConfigData& a, const ConfigData& b);
    std::size_t hash() const;

private:
    using Storage = std::variant<BinaryDistinctString, std::int64_t, bool, float, std::shared_ptr<const Dictionary>,
                                 std::shared_ptr<const Array>, ConfigToken, std::monostate>;
    Storage storage_;
};

class Config {
public:
    using Data = ConfigData;
    using Dictionary = ConfigData::Dictionary;
    using Array = ConfigData::Array;
    using Token = ConfigToken;

    Data value;

    Config() = default;
    Config(std::nullptr_t) {}
    Config(Data data) : value(std::move(data)) {}
    Config(BinaryDistinctString s) : value(std::move(s)) {}
    Config(const char* s) : value(BinaryDistinctString(s)) {}
    Config(const std::string& s) : value(BinaryDistinctString(s)) {}
    Config(std::string_view s) : value(BinaryDistinctString(s)) {}
    Config(bool b) : value(b) {}
    template <class T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
    Config(T i) : value(static_cast<std::int64_t>(i)) {}
    template <class T>
        requires std::is_floating_point_v<T>
    Config(T f) : value(static_cast<float>(f)) {}
    Config(Dictionary d) : value(std::move(d)) {}
    Config(Array a) : value(std::move(a)) {}
    Config(Token t) : value(std::move(t)) {}

    // A dictionary from key/value pairs inserted in order; a repeated key keeps the last value.
    static Config makeDictionary(std::initializer_list<std::pair<BinaryDistinctString, Config>> entries);
    static Config makeArray(std::initializer_list<Config> elements);

    // Field access: on a dictionary the entry for `key` as written, else for uncamelCase(key),
    // else null; on any other value null. The reference stays valid while this Config lives.
    const Config& operator[](const BinaryDistinctString& key) const;
    const Config& operator[](std::string_view key) const { return (*this)[BinaryDistinctString(key)]; }
    const Config& operator[](const char* key) const { return (*this)[BinaryDistinctString(key)]; }
    const Config& operator[](const std::string& key) const { return (*this)[BinaryDistinctString(key)]; }
    // The optional form: absent when this is not a dictionary; a present null for a missing key.
    std::optional<Config> member(std::string_view key) const;

    // camelCase to snake_case: each upper-case letter (Lu, Lt) is lower-cased and preceded by "_"
    // when the scalar before it exists and is not upper-case. "addBOSToken" -> "add_bostoken".
    static BinaryDistinctString uncamelCase(const BinaryDistinctString& key);

    // Readers, as on Data.
    std::optional<std::string> string() const { return value.string(); }
    std::optional<std::int64_t> integer() const { return value.integer(); }
    std::optional<float> floating() const { return value.floating(); }
    std::optional<bool> boolean() const { return value.boolean(); }
    const Dictionary* dictionary() const { return value.dictionary(); }
    const Array* array() const { return value.array(); }
    std::optional<std::vector<std::string>> get() const { return value.get(); }
    std::optional<Token> token() const { return value.token(); }
    bool isNull() const { return value.kind() == Data::Kind::null; }

    std::string description() const { return value.description(); }
    friend bool operator==(const Config& a, const Config& b) { return a.value == b.value; }

    // A parsed JSON tree as a Config: objects become dictionaries keyed by the exact UTF-16 units of
    // their keys, arrays arrays, strings strings, booleans booleans, null null; a number integral in
    // value that fits 64 bits becomes an integer (also 2.0), any other number a 32-bit floating.
    static Config convertToBinaryDistinctKeys(const nlohmann::ordered_json& node);
    // Decoding: null, integer, floating, boolean, string; a two-element array [unsigned, string] is
    // a token; other arrays and objects are decoded element by element. Never fails.
    static Config decode(const nlohmann::ordered_json& node);
    // Encoding: a token as [id, "text"]; dictionaries in the map's iteration order. Throws
    // std::domain_error for an infinite or NaN float, which JSON cannot hold.
    nlohmann::ordered_json encode() const;
};

inline ConfigData::ConfigData() : storage_(std::monostate{}) {}
inline ConfigData::ConfigData(BinaryDistinctString s) : storage_(std::move(s)) {}
inline ConfigData::ConfigData(std::int64_t i) : storage_(i) {}
inline ConfigData::ConfigData(bool b) : storage_(b) {}
inline ConfigData::ConfigData(float f) : storage_(f) {}
inline ConfigData::ConfigData(ConfigToken t) : storage_(std::move(t)) {}

inline void to_json(nlohmann::ordered_json& j, const Config& c) { j = c.encode(); }
inline void from_json(const nlohmann::ordered_json& j, Config& c) { c = Config::decode(j); }

}  // namespace darori

template <>
struct std::hash<darori::ConfigData> {
    std::size_t operator()(const darori::ConfigData& d) const noexcept { return d.hash(); }
};
template <>
struct std::hash<darori::Config> {
    std::size_t operator()(const darori::Config& c) const noexcept { return c.value.hash(); }
};
