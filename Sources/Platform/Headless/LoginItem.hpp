// A simulated login-item registry.
#pragma once

#include <optional>
#include <string>

#include "Platform/LoginItem.hpp"

namespace talkweft::platform::headless {

class LoginItemService : public platform::LoginItemService {
public:
    void registerApp() override;
    void unregisterApp() override;
    bool isRegistered() override { return registered; }

    bool registered = false;
    int calls = 0;                       // registerApp and unregisterApp calls
    std::optional<std::string> failure;  // when set, every call throws LoginItemError with it
};

}  // namespace talkweft::platform::headless
