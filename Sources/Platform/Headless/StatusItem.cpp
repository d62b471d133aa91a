#include "Platform/Headless/StatusItem.hpp"

namespace talkweft::platform::headless {

void StatusItem::setIcon(const std::string& s, const std::string& description) {
    symbol = s;
    accessibilityDescription = description;
}

void StatusItem::setMenuBuilder(std::function<std::vector<MenuItem>()> build) { build_ = std::move(build); }

void StatusItem::setActivity(StatusActivity a) {
    if (a == activity) return;
    activity = a;
    activities.push_back(a);
}

std::vector<MenuItem> StatusItem::open() {
    items_ = build_ ? build_() : std::vector<MenuItem>{};
    return items_;
}

std::vector<std::string> StatusItem::titles() const {
    std::vector<std::string> out;
    for (const auto& item : items_) out.push_back(item.separator ? "-" : item.title);
    return out;
}

bool StatusItem::click(const std::string& title) {
    for (const auto& item : items_) {
        if (!item.separator && item.title == title && item.enabled && item.action) {
            auto action = item.action;  // the action may rebuild the menu
            action();
            return true;
        }
    }
    return false;
}

}  // namespace talkweft::platform::headless
