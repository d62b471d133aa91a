// Starting the application at login.
#pragma once

#include <stdexcept>

namespace talkweft::platform {

class LoginItemError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Main thread.
class LoginItemService {
public:
    virtual ~LoginItemService() = default;
    // Registers the application to start at login; throws LoginItemError with a description on failure.
    virtual void registerApp() = 0;
    // Removes that registration; throws LoginItemError on failure.
    virtual void unregisterApp() = 0;
    // Whether the application is registered now, as the desktop reports it (a backend that cannot
    // tell answers false).
    virtual bool isRegistered() { return false; }
};

}  // namespace talkweft::platform
