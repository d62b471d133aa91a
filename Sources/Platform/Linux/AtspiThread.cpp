#include "Platform/Linux/AtspiThread.hpp"

#include <unistd.h>

#include <condition_variable>
#include <future>
#include <mutex>

namespace talkweft::platform::linuxdesktop {

namespace {

using atspi::Clock;

// How long an app that let a call time out is skipped.
constexpr auto HUNG_APP_PAUSE = std::chrono::seconds(3);

struct PendingJob {
    std::function<void()> fn;
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
};

gboolean runPending(gpointer data) {
    auto& job = *static_cast<std::shared_ptr<PendingJob>*>(data);
    job->fn();
    {
        std::lock_guard lock(job->mutex);
        job->done = true;
    }
    job->cv.notify_all();
    return G_SOURCE_REMOVE;
}

void freePending(gpointer data) { delete static_cast<std::shared_ptr<PendingJob>*>(data); }

gboolean runPosted(gpointer data) {
    (*static_cast<std::function<void()>*>(data))();
    return G_SOURCE_REMOVE;
}

void freePosted(gpointer data) { delete static_cast<std::function<void()>*>(data); }

// Follows the focus: the object that took it, or none when the focused one lost it.
void onFocusEvent(AtspiEvent* event, void* data) {
    auto* state = static_cast<atspi::StatePtr>(data);
    if (event->source != nullptr) {
        if (event->detail1 != 0) {
            state->focused = atspi::GRef<AtspiAccessible>(static_cast<AtspiAccessible*>(g_object_ref(event->source)));
        } else if (state->focused.get() == event->source) {
            state->focused = atspi::GRef<AtspiAccessible>();
        }
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

}  // namespace

namespace atspi {

std::string busName(AtspiAccessible* acc) {
    auto* obj = reinterpret_cast<AtspiObject*>(acc);
    if (obj == nullptr || obj->app == nullptr || obj->app->bus_name == nullptr) return {};
    return obj->app->bus_name;
}

std::string objectPath(AtspiAccessible* acc) {
    auto* obj = reinterpret_cast<AtspiObject*>(acc);
    return obj != nullptr && obj->path != nullptr ? obj->path : "";
}

}  // namespace atspi

bool AtspiAccessibility::State::run(std::function<void()> job) {
    if (!connected) return false;
    if (std::this_thread::get_id() == threadId) {
        job();
        return true;
    }
    auto pending = std::make_shared<PendingJob>();
    pending->fn = std::move(job);
    g_main_context_invoke_full(context, G_PRIORITY_DEFAULT, runPending, new std::shared_ptr<PendingJob>(pending), freePending);
    std::unique_lock lock(pending->mutex);
    return pending->cv.wait_for(lock, timeout + std::chrono::milliseconds(300), [&] { return pending->done; });
}

void AtspiAccessibility::State::post(std::function<void()> job) {
    if (!connected) return;
    g_main_context_invoke_full(context, G_PRIORITY_DEFAULT, runPosted, new std::function<void()>(std::move(job)), freePosted);
}

bool AtspiAccessibility::State::hung(AtspiAccessible* acc) {
    // This process's own windows (drawn by a toolkit that answers AT-SPI on the main thread) cannot
    // answer while the main thread waits here: asking them would only stall until the timeout.
    const std::string bus = atspi::busName(acc);
    if (!bus.empty()) {
        auto own = ownProcess.find(bus);
        if (own == ownProcess.end()) {
            GError* error = nullptr;
            const guint pid = atspi_accessible_get_process_id(acc, &error);  // answered by the bus, not the app
            const bool mine = error == nullptr && pid == static_cast<guint>(getpid());
            if (error) g_error_free(error);
            own = ownProcess.emplace(bus, mine).first;
        }
        if (own->second) return true;
    }
    auto it = hungUntil.find(bus);
    if (it == hungUntil.end()) return false;
    if (Clock::now() < it->second) return true;
    hungUntil.erase(it);
    return false;
}

void AtspiAccessibility::State::noteFailure(AtspiAccessible* acc, Clock::time_point started) {
    // A failure that took (nearly) the whole timeout is a call the app never answered.
    if (Clock::now() - started >= timeout * 9 / 10) hungUntil[atspi::busName(acc)] = Clock::now() + HUNG_APP_PAUSE;
}

namespace atspi {

// libatspi keeps its connection for the whole process (it does not connect again after
// atspi_exit), so its thread is started once and stays until the process ends.
std::shared_ptr<AtspiAccessibility::State> startAtspiThread(std::chrono::milliseconds callTimeout) {
    static std::mutex mutex;
    static std::shared_ptr<AtspiAccessibility::State> shared;
    std::lock_guard lock(mutex);
    if (shared) {
        const int ms = static_cast<int>(callTimeout.count());
        shared->timeout = callTimeout;
        shared->post([ms] { atspi_set_timeout(ms, ms); });
        return shared;
    }
    auto state = std::make_shared<AtspiAccessibility::State>(callTimeout);
    AtspiAccessibility::State* s = state.get();
    const int timeoutMs = static_cast<int>(callTimeout.count());
    s->context = g_main_context_new();
    s->loop = g_main_loop_new(s->context, FALSE);
    std::promise<bool> started;
    auto ready = started.get_future();
    s->thread = std::thread([s, timeoutMs, &started] {
        g_main_context_push_thread_default(s->context);
        const int init = atspi_init();
        if (init != 0 && init != 1) {
            started.set_value(false);
            return;
        }
        atspi_set_main_context(s->context);
        atspi_set_timeout(timeoutMs, timeoutMs);
        s->listener = atspi_event_listener_new(onFocusEvent, s, nullptr);
        GError* err = nullptr;
        atspi_event_listener_register(s->listener, "object:state-changed:focused", &err);
        if (err != nullptr) g_error_free(err);
        started.set_value(true);
        g_main_loop_run(s->loop);
    });
    s->threadId = s->thread.get_id();
    s->connected = ready.get();
    s->thread.detach();
    if (s->connected) shared = state;
    return state;
}

}  // namespace atspi

}  // namespace talkweft::platform::linuxdesktop
