#include "Platform/Headless/HeadlessPasteboard.hpp"

namespace talkweft::platform::headless {

std::vector<std::string> HeadlessPasteboard::types(std::size_t index) {
    std::vector<std::string> out;
    if (index >= items_.size()) return out;
    for (const auto& [type, bytes] : items_[index]) out.push_back(type);
    return out;
}

std::optional<std::string> HeadlessPasteboard::data(std::size_t index, std::string_view type) {
    if (index >= items_.size()) return std::nullopt;
    for (const auto& [t, bytes] : items_[index]) {
        if (t == type) return bytes;
    }
    return std::nullopt;
}

void HeadlessPasteboard::clear() {
    items_.clear();
    ++changes_;
}

bool HeadlessPasteboard::writeItems(const std::vector<PasteboardItem>& items) {
    if (refuseWrites) return false;
    for (const auto& item : items) {
        Item copy;
        for (const auto& [type, bytes] : item.entries) copy.emplace_back(type, bytes);
        items_.push_back(std::move(copy));
    }
    ++changes_;
    return true;
}

std::optional<std::string> HeadlessPasteboard::plainText() const {
    for (const auto& item : items_) {
        for (const auto& [type, bytes] : item) {
            if (type == PASTEBOARD_PLAIN_TEXT && bytes) return bytes;
        }
    }
    return std::nullopt;
}

}  // namespace talkweft::platform::headless
