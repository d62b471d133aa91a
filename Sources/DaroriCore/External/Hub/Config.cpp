#include "DaroriCore/External/Hub/Config.hpp"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include <utf8proc.h>

#include "DaroriCore/NumberText.hpp"
#include "Unicode/Unicode.hpp"

namespace darori {
namespace {

constexpr double TWO_63 = 9223372036854775808.0;

// The value of an integral double that fits a signed 64-bit integer.
std::optional<std::int64_t> exactInteger(double d) {
    if (!std::isfinite(d) || d != std::trunc(d) || d < -TWO_63 || d >= TWO_63) return std::nullopt;
    return static_cast<std::int64_t>(d);
}

void feed(std::uint64_t& h, std::uint64_t v) {
    h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
}

bool isUpper(char32_t cp) {
    const auto cat = utf8proc_category(static_cast<utf8proc_int32_t>(cp));
    return cat == UTF8PROC_CATEGORY_LU || cat == UTF8PROC_CATEGORY_LT;
}

// A float as the JSON number with its shortest decimal text, so 0.1f writes as 0.1. JSON has no
// form for infinities and NaN: they are an encoding error rather than a silent null.
nlohmann::ordered_json floatJSON(float f) {
    if (!std::isfinite(f)) throw std::domain_error("the float " + floatDescription(f) + " has no JSON form");
    return parseDouble(floatDescription(f)).value_or(static_cast<double>(f));
}

}  // namespace

// Defined here, where Config is complete: clang instantiates the variant's members eagerly.
ConfigData::ConfigData() : storage_(std::monostate{}) {}
ConfigData::ConfigData(BinaryDistinctString s) : storage_(std::move(s)) {}
ConfigData::ConfigData(std::int64_t i) : storage_(i) {}
ConfigData::ConfigData(bool b) : storage_(b) {}
ConfigData::ConfigData(float f) : storage_(f) {}
ConfigData::ConfigData(ConfigToken t) : storage_(std::move(t)) {}
ConfigData::ConfigData(const ConfigData&) = default;
ConfigData::ConfigData(ConfigData&&) noexcept = default;
ConfigData& ConfigData::operator=(const ConfigData&) = default;
ConfigData& ConfigData::operator=(ConfigData&&) noexcept = default;
ConfigData::~ConfigData() = default;
ConfigData::ConfigData(Dictionary d) : storage_(std::make_shared<const Dictionary>(std::move(d))) {}
ConfigData::ConfigData(Array a) : storage_(std::make_shared<const Array>(std::move(a))) {}

std::optional<std::string> ConfigData::string() const {
    if (const auto* s = binaryString()) return s->string();
    return std::nullopt;
}

const BinaryDistinctString* ConfigData::binaryString() const { return std::get_if<BinaryDistinctString>(&storage_); }

std::optional<std::int64_t> ConfigData::integer() const {
    if (const auto* i = std::get_if<std::int64_t>(&storage_)) return *i;
    return std::nullopt;
}

std::optional<float> ConfigData::floating() const {
    if (const auto* f = std::get_if<float>(&storage_)) return *f;
    return std::nullopt;
}

const ConfigData::Dictionary* ConfigData::dictionary() const {
    const auto* d = std::get_if<std::shared_ptr<const Dictionary>>(&storage_);
    return d ? d->get() : nullptr;
}

const ConfigData::Array* ConfigData::array() const {
    const auto* a = std::get_if<std::shared_ptr<const Array>>(&storage_);
    return a ? a->get() : nullptr;
}

std::optional<bool> ConfigData::boolean() const {
    if (const auto* b = std::get_if<bool>(&storage_)) return *b;
    if (const auto* i = std::get_if<std::int64_t>(&storage_)) return *i == 1;
    if (const auto* s = binaryString()) {
        const std::string lower = s->lowercased().string();
        if (lower == "true" || lower == "t" || lower == "1") return true;
        if (lower == "false" || lower == "f" || lower == "0") return false;
    }
    return std::nullopt;
}

std::optional<std::vector<std::string>> ConfigData::get() const {
    const Array* a = array();
    if (!a) return std::nullopt;
    std::vector<std::string> out;
    for (const Config& element : *a) {
        if (auto s = element.string()) out.push_back(std::move(*s));
    }
    return out;
}

std::optional<ConfigToken> ConfigData::token() const {
    if (const auto* t = std::get_if<ConfigToken>(&storage_)) return *t;
    const Array* a = array();
    if (!a || a->size() != 2) return std::nullopt;
    const auto* text = (*a)[0].value.binaryString();
    const auto id = (*a)[1].integer();
    if (!text || !id || *id < 0) return std::nullopt;  // a negative id has no token form
    return ConfigToken{static_cast<std::uint64_t>(*id), *text};
}

std::string ConfigData::description() const {
    switch (kind()) {
    case Kind::string: {
        std::string out(1, '"');
        out += binaryString()->string();
        out += '"';
        return out;
    }
    case Kind::integer: return std::to_string(*integer());
    case Kind::boolean: return std::get<bool>(storage_) ? "true" : "false";
    case Kind::floating: return floatDescription(*floating());
    case Kind::dictionary: {
        const Dictionary& d = *dictionary();
        if (d.empty()) return "{[:]}";
        std::string out = "{[";
        bool first = true;
        for (const auto& [key, v] : d) {
            if (!first) out += ", ";
            first = false;
            out += key.string() + ": " + v.description();
        }
        return out + "]}";
    }
    case Kind::array: {
        std::string out = "[[";
        bool first = true;
        for (const Config& element : *array()) {
            if (!first) out += ", ";
            first = false;
            out += element.description();
        }
        return out + "]]";
    }
    case Kind::token: {
        const auto& t = std::get<ConfigToken>(storage_);
        std::string out(1, '(');
        out += std::to_string(t.id);
        out += ", ";
        out += t.text.string();
        out += ')';
        return out;
    }
    case Kind::null: break;
    }
    return "null";
}

namespace {

// The numeric cases as one kind of value: an exact integer, or a non-integral (or out of range)
// float. Booleans count as 0 and 1.
struct Numeric {
    bool isInteger;
    std::int64_t integer;
    float floating;
};

std::optional<Numeric> numeric(const ConfigData& d) {
    switch (d.kind()) {
    case ConfigData::Kind::integer: return Numeric{true, *d.integer(), 0};
    case ConfigData::Kind::boolean: return Numeric{true, *d.boolean() ? 1 : 0, 0};
    case ConfigData::Kind::floating: {
        const float f = *d.floating();
        if (const auto i = exactInteger(f)) return Numeric{true, *i, 0};
        return Numeric{false, 0, f};
    }
    default: return std::nullopt;
    }
}

}  // namespace

bool operator==(const ConfigData& a, const ConfigData& b) {
    const auto na = numeric(a), nb = numeric(b);
    if (na || nb) {
        if (!na || !nb || na->isInteger != nb->isInteger) return false;
        return na->isInteger ? na->integer == nb->integer : na->floating == nb->floating;
    }
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
    case ConfigData::Kind::string: return *a.binaryString() == *b.binaryString();
    case ConfigData::Kind::dictionary: return *a.dictionary() == *b.dictionary();
    case ConfigData::Kind::array: return *a.array() == *b.array();
    case ConfigData::Kind::token: return *a.token() == *b.token();
    default: return true;  // null
    }
}

std::size_t ConfigData::hash() const {
    std::uint64_t h = 0;
    if (const auto n = numeric(*this)) {
        if (n->isInteger) {
            feed(h, 2);
            feed(h, static_cast<std::uint64_t>(n->integer));
        } else {
            feed(h, 4);
            feed(h, std::bit_cast<std::uint32_t>(n->floating));
        }
        return static_cast<std::size_t>(h);
    }
    switch (kind()) {
    case Kind::string:
        feed(h, 1);
        feed(h, detail::hashUnits(binaryString()->value));
        break;
    case Kind::dictionary: {
        feed(h, 5);
        std::uint64_t entries = 0;  // exclusive-or: the map's order has no effect
        for (const auto& [key, v] : *dictionary()) {
            std::uint64_t e = 0;
            feed(e, detail::hashUnits(key.value));
            feed(e, v.value.hash());
            entries ^= e;
        }
        feed(h, entries);
        break;
    }
    case Kind::array:
        feed(h, 6);
        for (const Config& element : *array()) feed(h, element.value.hash());
        break;
    case Kind::token: {
        const auto& t = std::get<ConfigToken>(storage_);
        feed(h, 7);
        feed(h, t.id);
        feed(h, detail::hashUnits(t.text.value));
        break;
    }
    default: feed(h, 0); break;
    }
    return static_cast<std::size_t>(h);
}

Config Config::makeDictionary(std::initializer_list<std::pair<BinaryDistinctString, Config>> entries) {
    Dictionary d;
    for (const auto& [key, v] : entries) d.insert_or_assign(key, v);
    return Config(std::move(d));
}

Config Config::makeArray(std::initializer_list<Config> elements) { return Config(Array(elements)); }

const Config& Config::operator[](const BinaryDistinctString& key) const {
    static const Config null;
    const Dictionary* d = dictionary();
    if (!d) return null;
    if (auto it = d->find(key); it != d->end()) return it->second;
    if (auto it = d->find(uncamelCase(key)); it != d->end()) return it->second;
    return null;
}

std::optional<Config> Config::member(std::string_view key) const {
    if (!dictionary()) return std::nullopt;
    return (*this)[key];
}

BinaryDistinctString Config::uncamelCase(const BinaryDistinctString& key) {
    const std::string s = key.string();
    std::string out;
    bool previousUpper = false, first = true;
    for (std::size_t i = 0; i < s.size();) {
        const char32_t cp = unicode::decodeAt(s, i);
        const bool upper = isUpper(cp);
        if (upper) {
            if (!first && !previousUpper) out += '_';
            unicode::appendLowercased(out, cp);
        } else {
            unicode::appendUTF8(out, cp);
        }
        previousUpper = upper;
        first = false;
    }
    return BinaryDistinctString(out);
}

Config Config::convertToBinaryDistinctKeys(const nlohmann::ordered_json& node) {
    using value_t = nlohmann::ordered_json::value_t;
    switch (node.type()) {
    case value_t::object: {
        Dictionary d;
        d.reserve(node.size());
        for (auto it = node.begin(); it != node.end(); ++it) {
            d.insert_or_assign(BinaryDistinctString(it.key()), convertToBinaryDistinctKeys(it.value()));
        }
        return Config(std::move(d));
    }
    case value_t::array: {
        Array a;
        a.reserve(node.size());
        for (const auto& element : node) a.push_back(convertToBinaryDistinctKeys(element));
        return Config(std::move(a));
    }
    case value_t::string: return Config(node.get_ref<const std::string&>());
    // JSON true and false are held as the numbers 1 and 0, as the configuration readers expect;
    // boolean() reads them back as flags.
    case value_t::boolean: return Config(std::int64_t{node.get<bool>() ? 1 : 0});
    case value_t::number_integer: return Config(node.get<std::int64_t>());
    case value_t::number_unsigned: {
        const auto u = node.get<std::uint64_t>();
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return Config(static_cast<std::int64_t>(u));
        return Config(static_cast<float>(u));
    }
    case value_t::number_float: {
        const double d = node.get<double>();
        if (const auto i = exactInteger(d)) return Config(*i);
        return Config(static_cast<float>(d));
    }
    case value_t::null: return Config();
    default: break;
    }
    std::fprintf(stderr, "unknown type: %s %s\n", node.type_name(), node.dump().c_str());
    std::abort();
}

Config Config::decode(const nlohmann::ordered_json& node) {
    using value_t = nlohmann::ordered_json::value_t;
    switch (node.type()) {
    case value_t::null: return Config();
    case value_t::number_integer:
    case value_t::number_unsigned:
    case value_t::number_float: return convertToBinaryDistinctKeys(node);
    case value_t::boolean: return Config(node.get<bool>());
    case value_t::string: return Config(node.get_ref<const std::string&>());
    case value_t::array: {
        if (node.size() == 2 && node[1].is_string() &&
            (node[0].is_number_unsigned() || (node[0].is_number_integer() && node[0].get<std::int64_t>() >= 0))) {
            return Config(Token{node[0].get<std::uint64_t>(), BinaryDistinctString(node[1].get_ref<const std::string&>())});
        }
        Array a;
        a.reserve(node.size());
        for (const auto& element : node) a.push_back(decode(element));
        return Config(std::move(a));
    }
    case value_t::object: {
        Dictionary d;
        d.reserve(node.size());
        for (auto it = node.begin(); it != node.end(); ++it) d.insert_or_assign(BinaryDistinctString(it.key()), decode(it.value()));
        return Config(std::move(d));
    }
    default: return Config();
    }
}

nlohmann::ordered_json Config::encode() const {
    switch (value.kind()) {
    case Data::Kind::string: return *value.string();
    case Data::Kind::integer: return *value.integer();
    case Data::Kind::boolean: return *value.boolean();
    case Data::Kind::floating: return floatJSON(*value.floating());
    case Data::Kind::dictionary: {
        auto j = nlohmann::ordered_json::object();
        for (const auto& [key, v] : *value.dictionary()) j[key.string()] = v.encode();
        return j;
    }
    case Data::Kind::array: {
        auto j = nlohmann::ordered_json::array();
        for (const Config& element : *value.array()) j.push_back(element.encode());
        return j;
    }
    case Data::Kind::token: {
        const auto t = *value.token();
        return nlohmann::ordered_json::array({t.id, t.text.string()});
    }
    case Data::Kind::null: break;
    }
    return nullptr;
}

}  // namespace darori
