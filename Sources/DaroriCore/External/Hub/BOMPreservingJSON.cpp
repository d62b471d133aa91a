#include "DaroriCore/External/Hub/BOMPreservingJSON.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

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

// Builds a Config from the parser's events, with the conversions of
// Config::convertToBinaryDistinctKeys. An object's entries are gathered in the order their keys
// first appear, a repeated key replacing the value in place, and the dictionary is then filled in
// that order, as the conversion of an ordered tree fills it. Repeated keys are found by a short
// scan in small objects and through a hash index in large ones.
class ConfigBuilder {
public:
    Config result() { return std::move(result_); }

    bool null() { return put(Config()); }
    bool boolean(bool b) { return put(Config(std::int64_t{b ? 1 : 0})); }
    bool number_integer(std::int64_t i) { return put(Config(i)); }
    bool number_unsigned(std::uint64_t u) {
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return put(Config(static_cast<std::int64_t>(u)));
        return put(Config(static_cast<float>(u)));
    }
    bool number_float(double d, const std::string&) { return put(Config::convertToBinaryDistinctKeys(nlohmann::ordered_json(d))); }
    bool string(std::string& s) { return put(Config(s)); }
    bool binary(nlohmann::ordered_json::binary_t&) { return put(Config()); }  // JSON text has no binary values

    bool start_object(std::size_t) {
        stack_.emplace_back(true);
        return true;
    }
    bool key(std::string& k) {
        Frame& frame = stack_.back();
        frame.pending = frame.find(k);
        if (frame.pending == frame.entries.size()) frame.add(std::move(k));
        return true;
    }
    bool end_object() {
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        Config::Dictionary d;
        d.reserve(frame.entries.size());
        for (auto& [k, v] : frame.entries) d.insert_or_assign(BinaryDistinctString(k), std::move(v));
        return put(Config(std::move(d)));
    }
    bool start_array(std::size_t) {
        stack_.emplace_back(false);
        return true;
    }
    bool end_array() {
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        return put(Config(std::move(frame.elements)));
    }

    // Rethrown as bomPreservingJsonObject throws it: a number too large for a double is a
    // parse error there too.
    template <class Exception>
    bool parse_error(std::size_t, const std::string&, const Exception& error) {
        if constexpr (std::is_same_v<Exception, nlohmann::ordered_json::out_of_range>) {
            throw nlohmann::ordered_json::parse_error::create(101, 0, error.what(), nullptr);
        }
        throw error;
    }

private:
    static constexpr std::size_t SCAN_LIMIT = 16;

    struct Frame {
        explicit Frame(bool object) : isObject(object) {}
        bool isObject;
        std::vector<std::pair<std::string, Config>> entries;  // objects
        std::unordered_map<std::string, std::size_t> index;  // key -> entry, once past SCAN_LIMIT
        std::size_t pending = 0;  // the entry the next value belongs to
        Config::Array elements;  // arrays

        std::size_t find(const std::string& k) const {
            if (entries.size() <= SCAN_LIMIT) {
                for (std::size_t i = 0; i < entries.size(); ++i) {
                    if (entries[i].first == k) return i;
                }
                return entries.size();
            }
            const auto it = index.find(k);
            return it == index.end() ? entries.size() : it->second;
        }
        void add(std::string k) {
            entries.emplace_back(std::move(k), Config());
            if (entries.size() == SCAN_LIMIT + 1) {
                for (std::size_t i = 0; i < entries.size(); ++i) index.emplace(entries[i].first, i);
            } else if (entries.size() > SCAN_LIMIT + 1) {
                index.emplace(entries.back().first, entries.size() - 1);
            }
        }
    };

    bool put(Config value) {
        if (stack_.empty()) {
            result_ = std::move(value);
        } else if (Frame& frame = stack_.back(); frame.isObject) {
            frame.entries[frame.pending].second = std::move(value);
        } else {
            frame.elements.push_back(std::move(value));
        }
        return true;
    }

    std::vector<Frame> stack_;
    Config result_;
};

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

Config bomPreservingConfig(std::string_view bytes) {
    checkNesting(bytes);
    ConfigBuilder builder;
    nlohmann::ordered_json::sax_parse(bytes.begin(), bytes.end(), &builder);
    return builder.result();
}

}  // namespace darori
