#include "Platform/Headless/LoginItem.hpp"

namespace talkweft::platform::headless {

void LoginItemService::registerApp() {
    ++calls;
    if (failure) throw LoginItemError(*failure);
    registered = true;
}

void LoginItemService::unregisterApp() {
    ++calls;
    if (failure) throw LoginItemError(*failure);
    registered = false;
}

}  // namespace talkweft::platform::headless
