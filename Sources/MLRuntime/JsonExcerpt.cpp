#include "MLRuntime/JsonExcerpt.hpp"

namespace mlruntime {

namespace {

constexpr size_t SHOWN_ELEMENTS = 3;

// A scalar as JSON, or a container as a placeholder.
std::string flat(const nlohmann::json& value) {
    if (value.is_array()) return value.empty() ? "[]" : "[...]";
    if (value.is_object()) return value.empty() ? "{}" : "{...}";
    return textExcerpt(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), 30);
}

}  // namespace

std::string textExcerpt(std::string_view text, size_t limit) {
    if (text.size() <= limit) return std::string(text);
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return std::string(text.substr(0, cut)) + "...";
}

std::string jsonExcerpt(const nlohmann::json& value) {
    if (!value.is_array() && !value.is_object()) return flat(value);
    const bool array = value.is_array();
    std::string text = array ? "[" : "{";
    size_t shown = 0;
    for (auto item = value.begin(); item != value.end() && shown < SHOWN_ELEMENTS; ++item, ++shown) {
        if (shown > 0) text += ", ";
        if (!array) text += flat(nlohmann::json(item.key())) + ": ";
        text += flat(*item);
    }
    if (value.size() > shown) text += ", ...";
    text += array ? "]" : "}";
    return textExcerpt(text, 80);
}

}  // namespace mlruntime
