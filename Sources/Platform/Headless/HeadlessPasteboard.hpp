// The simulated pasteboard: items of (type, bytes) entries; an entry may be unreadable (its owner
// fails to deliver the data), as happens with lazily provided clipboard data.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Pasteboard.hpp"

namespace talkweft::platform::headless {

class HeadlessPasteboard : public platform::Pasteboard {
public:
    // (type, bytes) pairs; absent bytes cannot be read.
    using Item = std::vector<std::pair<std::string, std::optional<std::string>>>;

    std::size_t itemCount() override { return items_.size(); }
    std::vector<std::string> types(std::size_t index) override;
    std::optional<std::string> data(std::size_t index, std::string_view type) override;
    void clear() override;
    bool writeItems(const std::vector<PasteboardItem>& items) override;

    // Test side: the whole content, replaced or read directly.
    void setItems(std::vector<Item> items) { items_ = std::move(items); }
    const std::vector<Item>& items() const { return items_; }
    // The plain text of the first item that has one.
    std::optional<std::string> plainText() const;
    // Number of clear() and writeItems() calls so far.
    int changeCount() const { return changes_; }
    // true: writeItems refuses.
    bool refuseWrites = false;

private:
    std::vector<Item> items_;
    int changes_ = 0;
};

}  // namespace talkweft::platform::headless
