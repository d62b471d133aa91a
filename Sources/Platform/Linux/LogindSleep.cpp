#include "Platform/Linux/LogindSleep.hpp"

#include <gio/gio.h>

#include <atomic>
#include <future>
#include <thread>

namespace talkweft::platform::linuxdesktop {

struct LogindSleep::Impl {
    std::function<void(bool)> onSleep;
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    GDBusConnection* bus = nullptr;
    guint subscription = 0;
    bool ownConnection = false;
    std::atomic<bool> listening{false};
    std::thread thread;

    static void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                         gpointer data) {
        auto* self = static_cast<Impl*>(data);
        if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) return;
        gboolean start = FALSE;
        g_variant_get(parameters, "(b)", &start);
        self->onSleep(start != FALSE);
    }
};

LogindSleep::LogindSleep(std::function<void(bool)> onSleep, const std::string& busAddress) : impl_(std::make_unique<Impl>()) {
    impl_->onSleep = std::move(onSleep);
    impl_->context = g_main_context_new();
    impl_->loop = g_main_loop_new(impl_->context, FALSE);
    std::promise<void> started;
    auto ready = started.get_future();
    impl_->thread = std::thread([impl = impl_.get(), busAddress, &started] {
        g_main_context_push_thread_default(impl->context);
        GError* error = nullptr;
        impl->bus = busAddress.empty()
                        ? g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error)
                        : g_dbus_connection_new_for_address_sync(
                              busAddress.c_str(),
                              static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                                G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                              nullptr, nullptr, &error);
        impl->ownConnection = !busAddress.empty();
        if (error) g_error_free(error);
        if (impl->bus) {
            impl->subscription = g_dbus_connection_signal_subscribe(impl->bus, "org.freedesktop.login1", "org.freedesktop.login1.Manager",
                                                                    "PrepareForSleep", "/org/freedesktop/login1", nullptr,
                                                                    G_DBUS_SIGNAL_FLAGS_NONE, &Impl::onSignal, impl, nullptr);
            // The match rule is in place once a round trip to the bus has come back.
            GVariant* id = g_dbus_connection_call_sync(impl->bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                                       "GetId", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
            if (id) g_variant_unref(id);
            impl->listening = impl->subscription != 0;
        }
        started.set_value();
        g_main_loop_run(impl->loop);
        if (impl->bus) {
            if (impl->subscription) g_dbus_connection_signal_unsubscribe(impl->bus, impl->subscription);
            if (impl->ownConnection) g_dbus_connection_close_sync(impl->bus, nullptr, nullptr);
            g_object_unref(impl->bus);  // the shared system-bus connection stays open for others
        }
        g_main_context_pop_thread_default(impl->context);
    });
    ready.wait();
}

LogindSleep::~LogindSleep() {
    // Quit from inside the loop's own context so a quit before the loop runs is not lost.
    g_main_context_invoke(
        impl_->context,
        [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        impl_->loop);
    impl_->thread.join();
    g_main_loop_unref(impl_->loop);
    g_main_context_unref(impl_->context);
}

bool LogindSleep::listening() const { return impl_->listening; }

}  // namespace talkweft::platform::linuxdesktop
