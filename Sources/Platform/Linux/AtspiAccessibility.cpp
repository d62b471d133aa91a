#include "Platform/Linux/AtspiAccessibility.hpp"

#include <atspi/atspi.h>
#include <gio/gio.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Platform/Linux/AtspiOffsets.hpp"
#include "Unicode/Unicode.hpp"

namespace talkweft::platform::linuxdesktop {

namespace {

using Clock = std::chrono::steady_clock;

// How long an app that let a call time out is skipped.
constexpr auto HUNG_APP_PAUSE = std::chrono::seconds(3);
// Bounds of the search for the focused object below a window.
constexpr int SEARCH_DEPTH = 40;
constexpr int SEARCH_NODES = 3000;
// Children of one object looked at in a search (long lists and tables are not searched through).
constexpr int SEARCH_CHILDREN = 200;

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

using Units = OffsetUnits;

std::string roleText(AtspiRole role, bool multiLine, bool topLevel) {
    switch (role) {
        case ATSPI_ROLE_PASSWORD_TEXT: return std::string(AX_ROLE_SECURE_TEXT_FIELD);
        case ATSPI_ROLE_TEXT:
        case ATSPI_ROLE_ENTRY: return std::string(multiLine ? AX_ROLE_TEXT_AREA : AX_ROLE_TEXT_FIELD);
        case ATSPI_ROLE_PARAGRAPH:
        case ATSPI_ROLE_DOCUMENT_TEXT: return std::string(AX_ROLE_TEXT_AREA);
        case ATSPI_ROLE_DOCUMENT_WEB: return std::string(AX_ROLE_WEB_AREA);
        case ATSPI_ROLE_FRAME:
        case ATSPI_ROLE_WINDOW:
        case ATSPI_ROLE_DIALOG:
        case ATSPI_ROLE_ALERT:
        case ATSPI_ROLE_FILE_CHOOSER: return std::string(AX_ROLE_WINDOW);
        case ATSPI_ROLE_APPLICATION: return std::string(AX_ROLE_APPLICATION);
        default: break;
    }
    // A Qt top level is a "filler" below the application.
    if (topLevel) return std::string(AX_ROLE_WINDOW);
    // Any other role as "AX" and its name in camel case ("push button" -> "AXPushButton").
    std::string out = "AX";
    GFreeString name(atspi_role_get_name(role));
    bool upper = true;
    for (const char* c = name.s; c != nullptr && *c != '\0'; ++c) {
        if (*c == ' ' || *c == '-' || *c == '_') {
            upper = true;
        } else {
            out.push_back(upper ? static_cast<char>(g_ascii_toupper(*c)) : *c);
            upper = false;
        }
    }
    return out;
}

}  // namespace

// ---- the AT-SPI thread and its state ----

struct AtspiAccessibility::State {
    std::chrono::milliseconds timeout;
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    std::thread thread;
    std::thread::id threadId;
    bool connected = false;

    // Only on the AT-SPI thread:
    AtspiEventListener* listener = nullptr;
    GRef<AtspiAccessible> focused;
    std::map<std::string, Clock::time_point> hungUntil;  // by bus name
    std::map<std::string, Units> appUnits;                // by bus name, once detected
    std::map<std::string, bool> ownProcess;               // by bus name: objects of this process

    explicit State(std::chrono::milliseconds t) : timeout(t) {}

    // Runs `job` on the AT-SPI thread and waits for it, at most the call timeout and a little more.
    // False when it did not finish in time (it may still run later) or the thread is gone.
    bool run(std::function<void()> job);
    // Runs `job` on the AT-SPI thread without waiting.
    void post(std::function<void()> job);

    // Thread-side helpers.
    bool hung(AtspiAccessible* acc);
    void noteFailure(AtspiAccessible* acc, Clock::time_point started);
};

namespace {

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

std::string busName(AtspiAccessible* acc) {
    auto* obj = reinterpret_cast<AtspiObject*>(acc);
    if (obj == nullptr || obj->app == nullptr || obj->app->bus_name == nullptr) return {};
    return obj->app->bus_name;
}

std::string objectPath(AtspiAccessible* acc) {
    auto* obj = reinterpret_cast<AtspiObject*>(acc);
    return obj != nullptr && obj->path != nullptr ? obj->path : "";
}

}  // namespace

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
    const std::string bus = busName(acc);
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
    if (Clock::now() - started >= timeout * 9 / 10) hungUntil[busName(acc)] = Clock::now() + HUNG_APP_PAUSE;
}

namespace {

using StatePtr = AtspiAccessibility::State*;

// One read or write against one app on the AT-SPI thread: every failed call is checked for a
// timeout, after which the rest of the work is skipped.
class Call {
public:
    Call(StatePtr state, AtspiAccessible* acc) : state_(state), acc_(acc) { skip_ = acc == nullptr || state->hung(acc); }
    bool skipped() const { return skip_; }
    // Consumes an error of the last call: true when there was none.
    bool ok(GError* error) {
        if (error == nullptr) {
            started_ = Clock::now();
            return !skip_;
        }
        g_error_free(error);
        state_->noteFailure(acc_, started_);
        if (state_->hung(acc_)) skip_ = true;
        started_ = Clock::now();
        return false;
    }
    // For calls that report no error: true unless the last one took the whole timeout.
    bool answered() {
        state_->noteFailure(acc_, started_);
        if (state_->hung(acc_)) skip_ = true;
        started_ = Clock::now();
        return !skip_;
    }

private:
    StatePtr state_;
    AtspiAccessible* acc_;
    Clock::time_point started_ = Clock::now();
    bool skip_ = false;
};

// The object's states (libatspi reports no error here: a call that took the whole timeout counts
// as unanswered).
GRef<AtspiStateSet> states(AtspiAccessible* acc, Call& call) {
    if (call.skipped()) return {};
    GRef<AtspiStateSet> set(atspi_accessible_get_state_set(acc));
    if (!call.answered()) return {};
    return set;
}

bool hasState(AtspiAccessible* acc, AtspiStateType s, Call& call) {
    auto set = states(acc, call);
    return set && atspi_state_set_contains(set.get(), s);
}

std::optional<AtspiRole> roleOf(AtspiAccessible* acc, Call& call) {
    GError* e = nullptr;
    const AtspiRole role = atspi_accessible_get_role(acc, &e);
    if (!call.ok(e)) return std::nullopt;
    return role;
}

GRef<AtspiAccessible> parentOf(AtspiAccessible* acc, Call& call) {
    GError* e = nullptr;
    AtspiAccessible* p = atspi_accessible_get_parent(acc, &e);
    if (!call.ok(e)) {
        if (p) g_object_unref(p);
        return {};
    }
    return GRef<AtspiAccessible>(p);
}

GRef<AtspiAccessible> childAt(AtspiAccessible* acc, int index, Call& call) {
    GError* e = nullptr;
    AtspiAccessible* c = atspi_accessible_get_child_at_index(acc, index, &e);
    if (!call.ok(e)) {
        if (c) g_object_unref(c);
        return {};
    }
    return GRef<AtspiAccessible>(c);
}

int childCount(AtspiAccessible* acc, Call& call) {
    GError* e = nullptr;
    const int n = atspi_accessible_get_child_count(acc, &e);
    return call.ok(e) ? std::max(n, 0) : 0;
}

// The units of the app `acc` belongs to, when known.
Units unitsGuess(StatePtr state, AtspiAccessible* acc) {
    auto it = state->appUnits.find(busName(acc));
    if (it != state->appUnits.end()) return it->second;
    GError* e = nullptr;
    GFreeString toolkit(atspi_accessible_get_toolkit_name(acc, &e));
    if (e != nullptr) g_error_free(e);
    if (toolkit.s != nullptr && g_ascii_strncasecmp(toolkit.s, "qt", 2) == 0) return Units::utf16;
    return Units::codePoints;
}

// The whole text of a text object, in its toolkit's units.
std::optional<ToolkitText> readText(StatePtr state, AtspiAccessible* acc, Call& call) {
    AtspiText* text = atspi_accessible_get_text_iface(acc);
    if (text == nullptr) return std::nullopt;
    GRef<AtspiText> holder(text);
    GError* e = nullptr;
    const int count = atspi_text_get_character_count(text, &e);
    if (!call.ok(e)) return std::nullopt;
    gchar* raw = atspi_text_get_text(text, 0, std::max(count, 0), &e);
    if (!call.ok(e)) {
        g_free(raw);
        return std::nullopt;
    }
    GFreeString s(raw);
    ToolkitText t = makeToolkitText(s.s != nullptr ? s.s : "", Units::codePoints);
    if (auto told = detectUnits(count, t)) {
        // The field tells: remember it for the app.
        t.units = *told;
        state->appUnits[busName(acc)] = t.units;
    } else {
        t.units = unitsGuess(state, acc);
    }
    return t;
}

// The selection (or the caret as an empty one) in toolkit offsets, ordered.
std::optional<std::pair<std::int64_t, std::int64_t>> readSelection(AtspiAccessible* acc, Call& call) {
    AtspiText* text = atspi_accessible_get_text_iface(acc);
    if (text == nullptr) return std::nullopt;
    GRef<AtspiText> holder(text);
    GError* e = nullptr;
    const int n = atspi_text_get_n_selections(text, &e);
    if (!call.ok(e)) return std::nullopt;
    if (n > 0) {
        AtspiRange* r = atspi_text_get_selection(text, 0, &e);
        if (call.ok(e) && r != nullptr && r->start_offset >= 0 && r->end_offset >= 0) {
            std::pair<std::int64_t, std::int64_t> out{std::min(r->start_offset, r->end_offset), std::max(r->start_offset, r->end_offset)};
            g_free(r);
            return out;
        }
        g_free(r);
        if (call.skipped()) return std::nullopt;
    }
    const int caret = atspi_text_get_caret_offset(text, &e);
    if (!call.ok(e) || caret < 0) return std::nullopt;
    return std::pair<std::int64_t, std::int64_t>{caret, caret};
}

// Selects [start, end) in toolkit offsets (an empty range: puts the caret there).
bool selectRange(AtspiAccessible* acc, std::int64_t start, std::int64_t end, Call& call) {
    GRef<AtspiText> text(atspi_accessible_get_text_iface(acc));
    if (!text) return false;
    GError* e = nullptr;
    const int n = atspi_text_get_n_selections(text.get(), &e);
    if (!call.ok(e)) return false;
    if (start == end) {
        for (int i = 0; i < n; ++i) {
            atspi_text_remove_selection(text.get(), 0, &e);
            if (!call.ok(e) && call.skipped()) return false;
        }
        const bool done = atspi_text_set_caret_offset(text.get(), static_cast<gint>(start), &e);
        return call.ok(e) && done;
    }
    const auto a = static_cast<gint>(start), b = static_cast<gint>(end);
    bool done = n > 0 ? atspi_text_set_selection(text.get(), 0, a, b, &e) : atspi_text_add_selection(text.get(), a, b, &e);
    if (!call.ok(e)) done = false;
    if (!done && !call.skipped()) {
        // Some fields take only the other of the two calls.
        done = n > 0 ? atspi_text_add_selection(text.get(), a, b, &e) : atspi_text_set_selection(text.get(), 0, a, b, &e);
        if (!call.ok(e)) done = false;
    }
    return done;
}

std::optional<Rect> toRect(AtspiRect* r) {
    if (r == nullptr) return std::nullopt;
    Rect out{static_cast<double>(r->x), static_cast<double>(r->y), static_cast<double>(r->width), static_cast<double>(r->height)};
    g_free(r);
    return out;
}

std::optional<Rect> characterBox(AtspiText* text, std::int64_t offset, Call& call) {
    GError* e = nullptr;
    AtspiRect* r = atspi_text_get_character_extents(text, static_cast<gint>(offset), ATSPI_COORD_TYPE_SCREEN, &e);
    if (!call.ok(e)) {
        g_free(r);
        return std::nullopt;
    }
    auto rect = toRect(r);
    if (rect && rect->width <= 0 && rect->height <= 0) return std::nullopt;
    return rect;
}

// Screen bounds of the UTF-16 range; an empty range gives a zero-width box at that offset.
std::optional<Rect> rangeBounds(const ToolkitText& t, AtspiAccessible* acc, AXRange range, Call& call) {
    if (range.location < 0 || range.length < 0 || range.location > static_cast<std::int64_t>(t.utf16Length) ||
        range.length > static_cast<std::int64_t>(t.utf16Length) - range.location)
        return std::nullopt;
    const auto start = t.fromUTF16(range.location);
    const auto end = t.fromUTF16(range.location + range.length);
    if (!start || !end || t.length() == 0) return std::nullopt;
    AtspiText* text = atspi_accessible_get_text_iface(acc);
    if (text == nullptr) return std::nullopt;
    GRef<AtspiText> holder(text);
    if (*start == *end) {
        if (*start < t.length()) {
            auto box = characterBox(text, *start, call);
            if (box) box->width = 0;
            return box;
        }
        auto last = characterBox(text, t.length() - 1, call);  // the caret after the last character
        if (last) last = Rect{last->x + last->width, last->y, 0, last->height};
        return last;
    }
    GError* e = nullptr;
    AtspiRect* r = atspi_text_get_range_extents(text, static_cast<gint>(*start), static_cast<gint>(*end), ATSPI_COORD_TYPE_SCREEN, &e);
    if (call.ok(e)) {
        auto rect = toRect(r);
        if (rect && rect->width > 0 && rect->height > 0) return rect;
    } else {
        g_free(r);
        if (call.skipped()) return std::nullopt;
    }
    // Some toolkits answer no range extents: join the first and the last character's boxes.
    auto first = characterBox(text, *start, call);
    auto last = characterBox(text, *end - 1, call);
    if (!first || !last) return std::nullopt;
    const double x0 = std::min(first->x, last->x), y0 = std::min(first->y, last->y);
    const double x1 = std::max(first->x + first->width, last->x + last->width);
    const double y1 = std::max(first->y + first->height, last->y + last->height);
    return Rect{x0, y0, x1 - x0, y1 - y0};
}

bool isSecureRole(AtspiAccessible* acc, Call& call) { return roleOf(acc, call) == ATSPI_ROLE_PASSWORD_TEXT; }

// The first object with the focused state at or below `acc` (showing objects only).
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

// The app's window to work in: the active one, else the first showing one.
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

// The focused object known from events, when it still is focused (and belongs to `app` if given).
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

void onFocusEvent(AtspiEvent* event, void* data) {
    auto* state = static_cast<StatePtr>(data);
    if (event->source != nullptr) {
        if (event->detail1 != 0) {
            state->focused = GRef<AtspiAccessible>(static_cast<AtspiAccessible*>(g_object_ref(event->source)));
        } else if (state->focused.get() == event->source) {
            state->focused = GRef<AtspiAccessible>();
        }
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

// ---- elements ----

enum class Kind { systemWide, application, object };

class AtspiElement final : public AXElement {
public:
    // `acc` is adopted (its reference released on the AT-SPI thread at the end).
    AtspiElement(std::shared_ptr<AtspiAccessibility::State> state, Kind kind, std::int32_t pid, AtspiAccessible* acc)
        : state_(std::move(state)), kind_(kind), pid_(pid), acc_(acc) {
        if (acc_ != nullptr) identity_ = busName(acc_) + "\n" + objectPath(acc_);
    }
    ~AtspiElement() override {
        if (acc_ != nullptr) {
            AtspiAccessible* acc = acc_;
            state_->post([acc] { g_object_unref(acc); });
        }
    }

    std::optional<AXValue> attribute(std::string_view name) const override;
    std::optional<AXValue> parameterizedAttribute(std::string_view name, const AXValue& parameter) const override;
    bool isSettable(std::string_view name) const override;
    bool setAttribute(std::string_view name, const AXValue& value) override;
    bool isSameElement(const AXElement& other) const override {
        const auto* o = dynamic_cast<const AtspiElement*>(&other);
        if (o == nullptr || o->kind_ != kind_) return false;
        if (kind_ == Kind::object) return o->identity_ == identity_;
        return kind_ == Kind::systemWide || o->pid_ == pid_;
    }

private:
    // Runs `work` on the AT-SPI thread with the object (the application kind resolves its pid
    // first); the result, or nothing when it failed or did not finish in time.
    template <class T>
    std::optional<T> onThread(std::function<std::optional<T>(StatePtr, AtspiAccessible*)> work) const;

    std::shared_ptr<AtspiAccessibility::State> state_;
    Kind kind_;
    std::int32_t pid_;
    AtspiAccessible* acc_;
    std::string identity_;
};

template <class T>
std::optional<T> AtspiElement::onThread(std::function<std::optional<T>(StatePtr, AtspiAccessible*)> work) const {
    struct Box {
        std::mutex mutex;
        std::optional<T> value;
    };
    auto box = std::make_shared<Box>();
    StatePtr s = state_.get();
    const Kind kind = kind_;
    const std::int32_t pid = pid_;
    AtspiAccessible* acc = acc_;
    const bool finished = state_->run([box, s, kind, pid, acc, work] {
        std::optional<T> result;
        if (kind == Kind::application) {
            auto app = appForPid(s, pid);
            if (app) result = work(s, app.get());
        } else {
            result = work(s, acc);
        }
        std::lock_guard lock(box->mutex);
        box->value = std::move(result);
    });
    if (!finished) return std::nullopt;
    std::lock_guard lock(box->mutex);
    return std::move(box->value);
}

AXElementRef wrap(const std::shared_ptr<AtspiAccessibility::State>& self, GRef<AtspiAccessible> acc) {
    if (!acc) return nullptr;
    return std::make_shared<AtspiElement>(self, Kind::object, 0, std::exchange(acc.p, nullptr));
}

// One attribute of an object (an application object also answers its focused element and window).
std::optional<AXValue> readObject(const std::shared_ptr<AtspiAccessibility::State>& self, AtspiAccessible* acc, std::string_view name) {
    StatePtr s = self.get();
    Call call(s, acc);
    if (call.skipped()) return std::nullopt;
    atspi_accessible_clear_cache(acc);
    const auto role = roleOf(acc, call);
    if (!role) return std::nullopt;
    const bool secure = *role == ATSPI_ROLE_PASSWORD_TEXT;

    if (name == AX_ROLE) {
        bool topLevel = false;
        if (*role == ATSPI_ROLE_FILLER) {
            auto parent = parentOf(acc, call);
            topLevel = parent && roleOf(parent.get(), call) == ATSPI_ROLE_APPLICATION;
        }
        return AXValue(roleText(*role, hasState(acc, ATSPI_STATE_MULTI_LINE, call), topLevel));
    }
    if (name == AX_TITLE) {
        GError* e = nullptr;
        GFreeString title(atspi_accessible_get_name(acc, &e));
        if (!call.ok(e) || title.s == nullptr) return std::nullopt;
        return AXValue(unicode::repairUTF8(title.s));
    }
    if (name == AX_PARENT) {
        if (*role == ATSPI_ROLE_APPLICATION) return std::nullopt;  // above it is only the desktop
        auto parent = parentOf(acc, call);
        if (!parent) return std::nullopt;
        return AXValue(wrap(self, std::move(parent)));
    }
    if (name == AX_FOCUSED) {
        auto set = states(acc, call);
        if (!set) return std::nullopt;
        return AXValue(atspi_state_set_contains(set.get(), ATSPI_STATE_FOCUSED) != 0);
    }
    if (name == AX_POSITION || name == AX_SIZE) {
        AtspiComponent* component = atspi_accessible_get_component_iface(acc);
        if (component == nullptr) return std::nullopt;
        GRef<AtspiComponent> holder(component);
        GError* e = nullptr;
        auto rect = toRect(atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, &e));
        if (!call.ok(e) || !rect) return std::nullopt;
        if (name == AX_POSITION) return AXValue(Point{rect->x, rect->y});
        return AXValue(Size{rect->width, rect->height});
    }
    if (name == AX_URL || name == AX_DOCUMENT) {
        AtspiDocument* doc = atspi_accessible_get_document_iface(acc);
        if (doc == nullptr) return std::nullopt;
        GRef<AtspiDocument> holder(doc);
        for (const char* key : {"DocURL", "URI", "URL"}) {
            GError* e = nullptr;
            GFreeString value(atspi_document_get_document_attribute_value(doc, const_cast<gchar*>(key), &e));
            if (!call.ok(e)) {
                if (call.skipped()) return std::nullopt;
                continue;
            }
            if (value.s != nullptr && *value.s != '\0') return AXValue(AXURL{unicode::repairUTF8(value.s)});
        }
        return std::nullopt;
    }
    if (*role == ATSPI_ROLE_APPLICATION && (name == AX_FOCUSED_UI_ELEMENT || name == AX_FOCUSED_WINDOW)) {
        if (name == AX_FOCUSED_UI_ELEMENT) return AXValue(wrap(self, focusInApp(s, acc)));
        auto window = frontWindow(acc, call);
        if (!window) return std::nullopt;
        return AXValue(wrap(self, std::move(window)));
    }

    // Text.
    if (secure) return std::nullopt;  // a password field answers no text at all
    if (name == AX_VALUE || name == AX_NUMBER_OF_CHARACTERS || name == AX_VISIBLE_CHARACTER_RANGE) {
        auto t = readText(s, acc, call);
        if (!t) return std::nullopt;
        if (name == AX_VALUE) return AXValue(t->utf8);
        const auto length = static_cast<std::int64_t>(t->utf16Length);
        if (name == AX_NUMBER_OF_CHARACTERS) return AXValue(length);
        return AXValue(AXRange{0, length});
    }
    if (name == AX_SELECTED_TEXT_RANGE || name == AX_SELECTED_TEXT) {
        auto t = readText(s, acc, call);
        if (!t) return std::nullopt;
        auto sel = readSelection(acc, call);
        if (!sel) return std::nullopt;
        const std::int64_t start = t->toUTF16(sel->first);
        const std::int64_t end = std::max(start, t->toUTF16(sel->second));
        if (name == AX_SELECTED_TEXT_RANGE) return AXValue(AXRange{start, end - start});
        return AXValue(unicode::utf16Substring(t->utf8, static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
    }
    return std::nullopt;
}

std::optional<AXValue> AtspiElement::attribute(std::string_view name) const {
    const std::string key(name);
    if (kind_ == Kind::systemWide) {
        if (name != AX_FOCUSED_UI_ELEMENT) return std::nullopt;
        auto self = state_;
        return onThread<AXValue>([self](StatePtr s, AtspiAccessible*) -> std::optional<AXValue> {
            auto found = trackedFocus(s, nullptr);
            if (!found) {
                // No focus event seen (the focus was set before we started): search the active windows.
                GRef<AtspiAccessible> desktop(atspi_get_desktop(0));
                if (!desktop) return std::nullopt;
                Call call(s, desktop.get());
                const int n = childCount(desktop.get(), call);
                for (int i = 0; i < n && !found; ++i) {
                    auto app = childAt(desktop.get(), i, call);
                    if (!app || s->hung(app.get())) continue;
                    Call appCall(s, app.get());
                    const int windows = std::min(childCount(app.get(), appCall), SEARCH_CHILDREN);
                    for (int w = 0; w < windows && !found && !appCall.skipped(); ++w) {
                        auto window = childAt(app.get(), w, appCall);
                        if (!window || !hasState(window.get(), ATSPI_STATE_ACTIVE, appCall)) continue;
                        int budget = SEARCH_NODES;
                        found = searchFocused(window.get(), appCall, 0, budget);
                    }
                }
            }
            if (!found) return std::nullopt;
            return AXValue(wrap(self, std::move(found)));
        });
    }
    auto self = state_;
    return onThread<AXValue>([self, key](StatePtr, AtspiAccessible* acc) { return readObject(self, acc, key); });
}

std::optional<AXValue> AtspiElement::parameterizedAttribute(std::string_view name, const AXValue& parameter) const {
    const AXRange* r = std::get_if<AXRange>(&parameter);
    if (kind_ != Kind::object || r == nullptr) return std::nullopt;
    const AXRange range = *r;
    const std::string key(name);
    return onThread<AXValue>([range, key](StatePtr s, AtspiAccessible* acc) -> std::optional<AXValue> {
        Call call(s, acc);
        if (call.skipped() || isSecureRole(acc, call)) return std::nullopt;
        auto t = readText(s, acc, call);
        if (!t) return std::nullopt;
        if (key == AX_STRING_FOR_RANGE) {
            const auto size = static_cast<std::int64_t>(t->utf16Length);
            if (range.location < 0 || range.length < 0 || range.location > size || range.length > size - range.location)
                return std::nullopt;
            return AXValue(unicode::utf16Substring(t->utf8, static_cast<std::size_t>(range.location), static_cast<std::size_t>(range.length)));
        }
        if (key == AX_BOUNDS_FOR_RANGE) {
            auto rect = rangeBounds(*t, acc, range, call);
            if (!rect) return std::nullopt;
            return AXValue(*rect);
        }
        return std::nullopt;
    });
}

bool AtspiElement::isSettable(std::string_view name) const {
    if (kind_ != Kind::object) return false;
    const std::string key(name);
    return onThread<bool>([key](StatePtr s, AtspiAccessible* acc) -> std::optional<bool> {
               Call call(s, acc);
               if (call.skipped()) return false;
               atspi_accessible_clear_cache(acc);
               auto set = states(acc, call);
               if (!set || atspi_state_set_contains(set.get(), ATSPI_STATE_DEFUNCT)) return false;
               if (key == AX_FOCUSED) {
                   GRef<AtspiComponent> component(atspi_accessible_get_component_iface(acc));
                   return component && atspi_state_set_contains(set.get(), ATSPI_STATE_FOCUSABLE);
               }
               const bool editable = atspi_state_set_contains(set.get(), ATSPI_STATE_EDITABLE);
               if (key == AX_SELECTED_TEXT_RANGE) {
                   GRef<AtspiText> text(atspi_accessible_get_text_iface(acc));
                   return editable && text;
               }
               if (key == AX_VALUE || key == AX_SELECTED_TEXT) {
                   GRef<AtspiEditableText> text(atspi_accessible_get_editable_text_iface(acc));
                   return editable && text;
               }
               return false;
           })
        .value_or(false);
}

bool AtspiElement::setAttribute(std::string_view name, const AXValue& value) {
    if (kind_ != Kind::object || !isSettable(name)) return false;
    const std::string key(name);
    const AXValue v = value;
    return onThread<bool>([key, v](StatePtr s, AtspiAccessible* acc) -> std::optional<bool> {
               Call call(s, acc);
               if (call.skipped()) return false;
               GError* e = nullptr;
               if (key == AX_FOCUSED) {
                   const bool* on = std::get_if<bool>(&v);
                   if (on == nullptr) return false;
                   if (!*on) return true;  // focus cannot be given away, only taken
                   // Focused already: grabbing it again would select all of a GTK entry's text,
                   // and a paste would then replace the whole field.
                   auto now = states(acc, call);
                   if (now && atspi_state_set_contains(now.get(), ATSPI_STATE_FOCUSED)) return true;
                   // A GTK entry also selects all of its text when it takes the focus: the
                   // selection it had is put back.
                   const auto before = readSelection(acc, call);
                   GRef<AtspiComponent> component(atspi_accessible_get_component_iface(acc));
                   const bool done = atspi_component_grab_focus(component.get(), &e);
                   if (!call.ok(e) || !done) return false;
                   if (before && readSelection(acc, call) != before) selectRange(acc, before->first, before->second, call);
                   return true;
               }
               if (key == AX_SELECTED_TEXT_RANGE) {
                   const AXRange* r = std::get_if<AXRange>(&v);
                   if (r == nullptr) return false;
                   auto t = readText(s, acc, call);
                   if (!t || r->location < 0 || r->length < 0 || r->location > static_cast<std::int64_t>(t->utf16Length) ||
                       r->length > static_cast<std::int64_t>(t->utf16Length) - r->location)
                       return false;
                   const auto start = t->fromUTF16(r->location);
                   const auto end = t->fromUTF16(r->location + r->length);
                   if (!start || !end) return false;
                   return selectRange(acc, *start, *end, call);
               }
               if (key == AX_VALUE) {
                   const std::string* text = std::get_if<std::string>(&v);
                   if (text == nullptr) return false;
                   GRef<AtspiEditableText> editable(atspi_accessible_get_editable_text_iface(acc));
                   const bool done = atspi_editable_text_set_text_contents(editable.get(), unicode::repairUTF8(*text).c_str(), &e);
                   return call.ok(e) && done;
               }
               if (key == AX_SELECTED_TEXT) {
                   const std::string* inserted = std::get_if<std::string>(&v);
                   if (inserted == nullptr) return false;
                   auto t = readText(s, acc, call);
                   auto sel = t ? readSelection(acc, call) : std::nullopt;
                   if (!sel) return false;
                   const std::string clean = unicode::repairUTF8(*inserted);
                   const auto start = static_cast<gint>(std::clamp<std::int64_t>(sel->first, 0, t->length()));
                   const auto end = static_cast<gint>(std::clamp<std::int64_t>(sel->second, 0, t->length()));
                   GRef<AtspiEditableText> editable(atspi_accessible_get_editable_text_iface(acc));
                   if (end > start) {
                       const bool deleted = atspi_editable_text_delete_text(editable.get(), start, end, &e);
                       if (!call.ok(e) || !deleted) return false;
                   }
                   // The length counts bytes in GTK and UTF-16 units in Qt.
                   const auto length = static_cast<gint>(t->units == Units::utf16 ? unicode::utf16Length(clean) : clean.size());
                   const bool done = atspi_editable_text_insert_text(editable.get(), start, clean.c_str(), length, &e);
                   return call.ok(e) && done;
               }
               return false;
           })
        .value_or(false);
}

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

// ---- the service ----

namespace {

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
    state_ = startAtspiThread(callTimeout);
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

AXElementRef AtspiAccessibility::systemWide() { return std::make_shared<AtspiElement>(state_, Kind::systemWide, 0, nullptr); }

AXElementRef AtspiAccessibility::application(std::int32_t pid) {
    return std::make_shared<AtspiElement>(state_, Kind::application, pid, nullptr);
}

}  // namespace talkweft::platform::linuxdesktop
