// A simulated status item: tests open its menu and click its items.
#pragma once

#include <optional>

#include "Platform/StatusItem.hpp"

namespace talkweft::platform::headless {

class StatusItem : public platform::StatusItem {
public:
    void setIcon(const std::string& symbol, const std::string& accessibilityDescription) override;
    void setMenuBuilder(std::function<std::vector<MenuItem>()> build) override;
    // Keeps the state and, when it changed, appends it to `activities`.
    void setActivity(StatusActivity activity) override;

    // Opens the menu: runs the builder and keeps its items; empty without a builder.
    std::vector<MenuItem> open();
    // The titles of the items of the last open() (separators as "-").
    std::vector<std::string> titles() const;
    // Clicks the enabled item of the last open() with this title; false when there is none.
    bool click(const std::string& title);

    std::string symbol;
    std::string accessibilityDescription;
    StatusActivity activity = StatusActivity::idle;
    std::vector<StatusActivity> activities;  // each change of state, in order

private:
    std::function<std::vector<MenuItem>()> build_;
    std::vector<MenuItem> items_;
};

}  // namespace talkweft::platform::headless
