// The thread all of libatspi runs on, with the state only that thread touches: the focused object
// (followed through focus events), apps that let a call time out, and each app's text units.
//
// Internal to the AT-SPI accessibility service.
#pragma once

#include <atspi/atspi.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "Platform/Linux/AtspiAccessibility.hpp"
#include "Platform/Linux/AtspiOffsets.hpp"

namespace talkweft::platform::linuxdesktop {

namespace atspi {

using Clock = std::chrono::steady_clock;
using Units = OffsetUnits;

// A GObject reference owned by one C++ value; released on the AT-SPI thread only.
template <class T>
struct GRef {
    T* p = nullptr;
    GRef() = default;
    explicit GRef(T* adopt) : p(adopt) {}
    GRef(const GRef&) = delete;
    GRef& operator=(const GRef&) = delete;
    GRef(GRef&& o) noexcept : p(o.p) { o.p = nullptr; }
    GRef& operator=(GRef&& o) noexcept {
        std::swap(p, o.p);
        return *this;
    }
    ~GRef() {
        if (p) g_object_unref(p);
    }
    T* get() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

struct GFreeString {
    gchar* s = nullptr;
    explicit GFreeString(gchar* adopt) : s(adopt) {}
    GFreeString(const GFreeString&) = delete;
    GFreeString& operator=(const GFreeString&) = delete;
    ~GFreeString() { g_free(s); }
};

// The D-Bus name of the app the object belongs to ("" when unknown).
std::string busName(AtspiAccessible* acc);
// The object's path within its app.
std::string objectPath(AtspiAccessible* acc);

}  // namespace atspi

struct AtspiAccessibility::State {
    std::chrono::milliseconds timeout;
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    std::thread thread;
    std::thread::id threadId;
    bool connected = false;

    // Only on the AT-SPI thread:
    AtspiEventListener* listener = nullptr;
    atspi::GRef<AtspiAccessible> focused;
    std::map<std::string, atspi::Clock::time_point> hungUntil;  // by bus name
    std::map<std::string, atspi::Units> appUnits;                // by bus name, once detected
    std::map<std::string, bool> ownProcess;                      // by bus name: objects of this process

    explicit State(std::chrono::milliseconds t) : timeout(t) {}

    // Runs `job` on the AT-SPI thread and waits for it, at most the call timeout and a little more.
    // False when it did not finish in time (it may still run later) or the thread is gone.
    bool run(std::function<void()> job);
    // Runs `job` on the AT-SPI thread without waiting.
    void post(std::function<void()> job);

    // Thread-side helpers.
    bool hung(AtspiAccessible* acc);
    void noteFailure(AtspiAccessible* acc, atspi::Clock::time_point started);
};

namespace atspi {

using StatePtr = AtspiAccessibility::State*;

// The process's one AT-SPI thread, connected to the accessibility bus and following focus events;
// started by the first call and kept to the end of the process (later calls set the new timeout).
// When it cannot connect, a fresh state that is not connected (and is not kept).
std::shared_ptr<AtspiAccessibility::State> startAtspiThread(std::chrono::milliseconds callTimeout);

}  // namespace atspi

}  // namespace talkweft::platform::linuxdesktop
