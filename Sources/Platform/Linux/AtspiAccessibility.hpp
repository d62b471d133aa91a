// Accessibility on a Linux desktop through AT-SPI (libatspi): the fields of GTK and Qt apps.
//
// libatspi is not thread-safe, so all of it runs on one thread of its own (one per process, kept
// to the end) with a private GLib main loop, which also follows "object:state-changed:focused" events to know the focused object. Calls
// from the main thread are handed to that thread and waited for, never longer than the call
// timeout (plus a little): a hung app makes reads fail, it never hangs the caller. An app that let a
// call time out is skipped (every read of it fails at once) for a few seconds.
//
// Offsets: AT-SPI counts code points in GTK and UTF-16 code units in Qt. Which one an app uses is
// found from a field whose two counts differ (its character count against its text), else from the
// toolkit's name, and all ranges are converted to the UTF-16 offsets the interface speaks. Offsets
// an app reports past its text are clamped to the text.
//
// "Trusted" means the session's accessibility bus is enabled (org.a11y.Status IsEnabled); asking
// with `prompt` turns it on.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "Platform/Accessibility.hpp"

struct _GDBusConnection;

namespace talkweft::platform::linuxdesktop {

class AtspiAccessibility final : public Accessibility {
public:
    // Connects to the accessibility bus of the session named by DBUS_SESSION_BUS_ADDRESS. Without
    // one the service still works: it is not trusted and every read gives nothing. Instances share
    // the process's one connection to the first session's accessibility bus.
    explicit AtspiAccessibility(std::chrono::milliseconds callTimeout = std::chrono::milliseconds(1500));
    ~AtspiAccessibility() override;
    AtspiAccessibility(const AtspiAccessibility&) = delete;
    AtspiAccessibility& operator=(const AtspiAccessibility&) = delete;

    bool isProcessTrusted(bool prompt) override;
    AXElementRef systemWide() override;
    AXElementRef application(std::int32_t pid) override;

    // True when libatspi is connected to the accessibility bus.
    bool connected() const;

    struct State;

private:
    std::shared_ptr<State> state_;
    _GDBusConnection* sessionBus_ = nullptr;  // for org.a11y.Status
};

}  // namespace talkweft::platform::linuxdesktop
