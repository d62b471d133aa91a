// Model-repository configuration files: the BOM-preserving JSON reader either parses or throws its
// parse error, and the Config built from what it parses answers every reader.
#include <stdexcept>

#include "DaroriCore/External/Hub/BOMPreservingJSON.hpp"
#include "DaroriCore/External/Hub/Config.hpp"
#include "FuzzInput.hpp"

namespace {

void readAll(const darori::Config& c, int depth) {
    c.string();
    c.integer();
    c.floating();
    c.boolean();
    c.get();
    c.token();
    c.description();
    FUZZ_CHECK(c.value == c.value || c.floating().has_value());  // only NaN is unequal to itself
    std::hash<darori::Config>{}(c);
    if (depth > 4) return;
    if (const auto* dict = c.dictionary()) {
        for (const auto& [key, value] : *dict) {
            FUZZ_CHECK(c[key].value == value.value || value.floating().has_value());
            darori::Config::uncamelCase(key);
            readAll(value, depth + 1);
        }
        c["modelType"];
    }
    if (const auto* array = c.array()) {
        for (const auto& element : *array) readAll(element, depth + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nlohmann::ordered_json json;
    try {
        json = darori::bomPreservingJsonObject(fuzz::asText(data, size));
    } catch (const nlohmann::ordered_json::parse_error&) {
        return 0;
    }
    const darori::Config config = darori::Config::convertToBinaryDistinctKeys(json);
    readAll(config, 0);
    readAll(darori::Config::decode(json), 0);
    try {
        config.encode();
    } catch (const std::domain_error&) {  // a number beyond a float's range is infinite there
    }
    return 0;
}
