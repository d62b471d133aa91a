// The login item on a Linux desktop: an XDG autostart entry, $XDG_CONFIG_HOME/autostart/
// talkweft.desktop (default ~/.config/autostart), that starts the running executable at login.
#pragma once

#include "Platform/Linux/DesktopInstall.hpp"
#include "Platform/LoginItem.hpp"

namespace talkweft::platform::linuxdesktop {

class AutostartLoginItem : public platform::LoginItemService {
public:
    // The locations of this process (processDesktopLocations()).
    AutostartLoginItem();
    explicit AutostartLoginItem(DesktopLocations at);

    // Writes the entry atomically, creating the autostart folder; Exec is the executable's absolute
    // path. Throws LoginItemError with the system's description (an unwritable folder, say).
    void registerApp() override;
    // Removes the entry (nothing to do when it is absent). Throws LoginItemError on failure.
    void unregisterApp() override;
    // True when the entry exists and is not marked Hidden=true (a desktop's way of switching it off).
    bool isRegistered() override;

    const std::filesystem::path entry() const { return at_.autostartEntry(); }

private:
    DesktopLocations at_;
};

}  // namespace talkweft::platform::linuxdesktop
