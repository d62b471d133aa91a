#include "Platform/Linux/AtspiAccessibility.hpp"

#include <gio/gio.h>

#include <optional>

#include "Platform/Linux/AtspiElement.hpp"
#include "Platform/Linux/AtspiThread.hpp"

namespace talkweft::platform::linuxdesktop {

namespace {

// Whether the session's accessibility bus is on (org.a11y.Status IsEnabled); absent when the
// session does not answer.
std::optional<bool> readIsEnabled(GDBusConnection* bus, int timeoutMs) {
    GError* e = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Get",
                                                  g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"), G_VARIANT_TYPE("(v)"),
                                                  G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &e);
    if (reply == nullptr) {
        g_error_free(e);
        return std::nullopt;
    }
    GVariant* inner = nullptr;
    g_variant_get(reply, "(v)", &inner);
    std::optional<bool> out;
    if (inner != nullptr && g_variant_is_of_type(inner, G_VARIANT_TYPE_BOOLEAN)) out = g_variant_get_boolean(inner) != 0;
    if (inner != nullptr) g_variant_unref(inner);
    g_variant_unref(reply);
    return out;
}

}  // namespace

AtspiAccessibility::AtspiAccessibility(std::chrono::milliseconds callTimeout) {
    GError* e = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &e);
    if (address != nullptr) {
        sessionBus_ = g_dbus_connection_new_for_address_sync(
            address, static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &e);
        g_free(address);
    }
    if (e != nullptr) g_error_free(e);
    if (sessionBus_ == nullptr) {
        // No session: nothing to connect to; every read gives nothing.
        state_ = std::make_shared<State>(callTimeout);
        return;
    }
    state_ = atspi::startAtspiThread(callTimeout);
}

AtspiAccessibility::~AtspiAccessibility() {
    if (sessionBus_ != nullptr) g_object_unref(sessionBus_);
}

bool AtspiAccessibility::connected() const { return state_->connected; }

bool AtspiAccessibility::isProcessTrusted(bool prompt) {
    if (sessionBus_ == nullptr) return false;
    const int timeoutMs = static_cast<int>(state_->timeout.count());
    const auto enabled = readIsEnabled(sessionBus_, timeoutMs);
    if (enabled == true) return true;
    if (!prompt) return false;
    GError* e = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        sessionBus_, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
        g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)), nullptr, G_DBUS_CALL_FLAGS_NONE, timeoutMs,
        nullptr, &e);
    if (reply != nullptr) g_variant_unref(reply);
    if (e != nullptr) {
        g_printerr("accessibility: the accessibility bus is off and could not be turned on (%s); turn it on with "
                   "\"gsettings set org.gnome.desktop.interface toolkit-accessibility true\" and log in again\n",
                   e->message);
        g_error_free(e);
        return false;
    }
    return readIsEnabled(sessionBus_, timeoutMs) == true;
}

AXElementRef AtspiAccessibility::systemWide() { return std::make_shared<atspi::AtspiElement>(state_, atspi::Kind::systemWide, 0, nullptr); }

AXElementRef AtspiAccessibility::application(std::int32_t pid) {
    return std::make_shared<atspi::AtspiElement>(state_, atspi::Kind::application, pid, nullptr);
}

}  // namespace talkweft::platform::linuxdesktop
