#include "Platform/Linux/AtspiFocus.hpp"

#include <algorithm>

namespace talkweft::platform::linuxdesktop::atspi {

namespace {

// Bounds of the search for the focused object below a window.
constexpr int SEARCH_DEPTH = 40;
constexpr int SEARCH_NODES = 3000;
// Children of one object looked at in a search (long lists and tables are not searched through).
constexpr int SEARCH_CHILDREN = 200;

}  // namespace

GRef<AtspiAccessible> searchFocused(AtspiAccessible* acc, Call& call, int depth, int& budget) {
    if (call.skipped() || depth > SEARCH_DEPTH || --budget < 0) return {};
    auto set = states(acc, call);
    if (!set) return {};
    if (atspi_state_set_contains(set.get(), ATSPI_STATE_FOCUSED)) return GRef<AtspiAccessible>(static_cast<AtspiAccessible*>(g_object_ref(acc)));
    if (depth > 0 && !atspi_state_set_contains(set.get(), ATSPI_STATE_SHOWING)) return {};
    if (atspi_state_set_contains(set.get(), ATSPI_STATE_MANAGES_DESCENDANTS)) return {};
    const int n = std::min(childCount(acc, call), SEARCH_CHILDREN);
    for (int i = 0; i < n && !call.skipped(); ++i) {
        auto child = childAt(acc, i, call);
        if (!child) continue;
        if (auto found = searchFocused(child.get(), call, depth + 1, budget)) return found;
    }
    return {};
}

GRef<AtspiAccessible> frontWindow(AtspiAccessible* app, Call& call) {
    const int n = std::min(childCount(app, call), SEARCH_CHILDREN);
    GRef<AtspiAccessible> showing;
    for (int i = 0; i < n && !call.skipped(); ++i) {
        auto w = childAt(app, i, call);
        if (!w) continue;
        auto set = states(w.get(), call);
        if (!set) continue;
        if (atspi_state_set_contains(set.get(), ATSPI_STATE_ACTIVE)) return w;
        if (!showing && atspi_state_set_contains(set.get(), ATSPI_STATE_SHOWING)) showing = std::move(w);
    }
    return showing;
}

GRef<AtspiAccessible> trackedFocus(StatePtr state, AtspiAccessible* app) {
    AtspiAccessible* f = state->focused.get();
    if (f == nullptr || state->hung(f)) return {};
    if (app != nullptr && busName(f) != busName(app)) return {};
    atspi_accessible_clear_cache(f);
    Call call(state, f);
    auto set = states(f, call);
    if (!set || !atspi_state_set_contains(set.get(), ATSPI_STATE_FOCUSED) || atspi_state_set_contains(set.get(), ATSPI_STATE_DEFUNCT))
        return {};
    return GRef<AtspiAccessible>(static_cast<AtspiAccessible*>(g_object_ref(f)));
}

GRef<AtspiAccessible> focusInApp(StatePtr state, AtspiAccessible* app) {
    if (auto f = trackedFocus(state, app)) return f;
    Call call(state, app);
    if (call.skipped()) return {};
    int budget = SEARCH_NODES;
    // The active window first, then every other showing window.
    auto front = frontWindow(app, call);
    if (front) {
        if (auto f = searchFocused(front.get(), call, 0, budget)) return f;
    }
    return {};
}

GRef<AtspiAccessible> focusOnDesktop(StatePtr state) {
    auto found = trackedFocus(state, nullptr);
    if (found) return found;
    // No focus event seen (the focus was set before we started): search the active windows.
    GRef<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop) return {};
    Call call(state, desktop.get());
    const int n = childCount(desktop.get(), call);
    for (int i = 0; i < n && !found; ++i) {
        auto app = childAt(desktop.get(), i, call);
        if (!app || state->hung(app.get())) continue;
        Call appCall(state, app.get());
        const int windows = std::min(childCount(app.get(), appCall), SEARCH_CHILDREN);
        for (int w = 0; w < windows && !found && !appCall.skipped(); ++w) {
            auto window = childAt(app.get(), w, appCall);
            if (!window || !hasState(window.get(), ATSPI_STATE_ACTIVE, appCall)) continue;
            int budget = SEARCH_NODES;
            found = searchFocused(window.get(), appCall, 0, budget);
        }
    }
    return found;
}

GRef<AtspiAccessible> appForPid(StatePtr state, std::int32_t pid) {
    GRef<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop) return {};
    Call call(state, desktop.get());
    const int n = childCount(desktop.get(), call);
    for (int i = 0; i < n; ++i) {
        auto app = childAt(desktop.get(), i, call);
        if (!app) continue;
        GError* e = nullptr;
        const guint appPid = atspi_accessible_get_process_id(app.get(), &e);
        if (e != nullptr) {
            g_error_free(e);
            continue;
        }
        if (static_cast<std::int32_t>(appPid) == pid) return app;
    }
    return {};
}

}  // namespace talkweft::platform::linuxdesktop::atspi
