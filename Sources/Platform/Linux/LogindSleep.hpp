// Sleep notices from systemd-logind: its PrepareForSleep(true) signal on the system bus, heard on a
// GLib thread of our own. Where there is no system bus or no logind, there are simply no notices.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace talkweft::platform::linuxdesktop {

class LogindSleep {
public:
    // `onSleep(true)` before the machine sleeps, `onSleep(false)` after it wakes; called on the
    // GLib thread. `busAddress` names the bus (empty: the system bus).
    explicit LogindSleep(std::function<void(bool)> onSleep, const std::string& busAddress = {});
    ~LogindSleep();
    LogindSleep(const LogindSleep&) = delete;
    LogindSleep& operator=(const LogindSleep&) = delete;

    // True once subscribed to the signal on a bus.
    bool listening() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace talkweft::platform::linuxdesktop
