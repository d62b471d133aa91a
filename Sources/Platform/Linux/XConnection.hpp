// Connections to the X server.
//
// XEventThread: one connection served by a thread of its own. Everything that needs X events (raw
// keys, root-window property changes, the selections) lives there: jobs run on that thread (call()
// waits for the result), and each event goes to every registered handler on that thread. Only that
// thread touches its connection, so no Xlib locking is involved.
//
// XRequests: a second connection for plain requests from any thread (property reads, key synthesis,
// images), one caller at a time.
//
// X errors never end the process: a process-wide handler records them, and ErrorTrap tells the
// calling thread whether its requests failed.
#pragma once

#include <X11/Xlib.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace talkweft::platform::linuxdesktop {

// Installs the non-fatal error handlers and Xlib's thread support. Idempotent; call first.
void initXlib();

// Counts the X errors of the calling thread from its construction until failed() (which syncs).
class ErrorTrap {
public:
    explicit ErrorTrap(Display* display);
    ~ErrorTrap();
    bool failed();  // XSync, then true when a request of this thread failed meanwhile

private:
    Display* display_;
    int before_;
};

// Property helpers (absent on any error or when the property is missing).
std::optional<std::vector<unsigned long>> readCardinals(Display* d, Window w, Atom property, Atom type);
std::optional<std::string> readBytes(Display* d, Window w, Atom property, Atom* typeOut = nullptr);
std::string atomName(Display* d, Atom atom);

class XEventThread {
public:
    // Opens `displayName`; throws std::runtime_error when the server does not answer.
    explicit XEventThread(const std::string& displayName);
    ~XEventThread();
    XEventThread(const XEventThread&) = delete;
    XEventThread& operator=(const XEventThread&) = delete;

    // Only on the event thread.
    Display* display() const { return display_; }
    bool onThread() const { return std::this_thread::get_id() == thread_.get_id(); }

    // Runs `job` on the event thread; any thread.
    void post(std::function<void()> job);
    // Runs `job` on the event thread and returns its result (runs it at once on the event thread).
    template <class F>
    auto call(F job) -> decltype(job()) {
        if (onThread()) return job();
        std::packaged_task<decltype(job())()> task(std::move(job));
        auto result = task.get_future();
        post([&task] { task(); });
        return result.get();
    }

    // Adds a handler for every event (with generic-event data fetched). Event thread.
    using Handler = std::function<void(XEvent&)>;
    std::uint64_t addHandler(Handler handler);
    void removeHandler(std::uint64_t id);

private:
    void runLoop();

    Display* display_ = nullptr;
    int wakeFds_[2] = {-1, -1};
    std::mutex mutex_;
    std::deque<std::function<void()>> jobs_;  // guarded by mutex_
    bool stop_ = false;                        // guarded by mutex_
    std::vector<std::pair<std::uint64_t, Handler>> handlers_;  // event thread
    std::uint64_t nextHandler_ = 1;
    std::thread thread_;
};

class XRequests {
public:
    explicit XRequests(const std::string& displayName);  // throws std::runtime_error
    ~XRequests();
    XRequests(const XRequests&) = delete;
    XRequests& operator=(const XRequests&) = delete;

    // Runs `job` with the connection, one caller at a time; any thread.
    template <class F>
    auto with(F job) -> decltype(job(static_cast<Display*>(nullptr))) {
        std::lock_guard lock(mutex_);
        return job(display_);
    }

private:
    std::mutex mutex_;
    Display* display_ = nullptr;
};

}  // namespace talkweft::platform::linuxdesktop
