#include "Platform/Linux/XConnection.hpp"

#include <X11/Xatom.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>

namespace talkweft::platform::linuxdesktop {

namespace {

thread_local int t_errors = 0;

int recordError(Display*, XErrorEvent*) {
    ++t_errors;
    return 0;
}

}  // namespace

void initXlib() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        XSetErrorHandler(recordError);
    });
}

ErrorTrap::ErrorTrap(Display* display) : display_(display), before_(t_errors) {}

ErrorTrap::~ErrorTrap() = default;

bool ErrorTrap::failed() {
    XSync(display_, False);
    return t_errors != before_;
}

std::optional<std::string> readBytes(Display* d, Window w, Atom property, Atom* typeOut) {
    std::string out;
    long offset = 0;
    for (;;) {
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        ErrorTrap trap(d);
        const int status = XGetWindowProperty(d, w, property, offset, 1 << 20, False, AnyPropertyType, &type, &format, &count, &after, &data);
        if (status != Success || type == None) {
            if (data) XFree(data);
            return std::nullopt;
        }
        if (typeOut) *typeOut = type;
        const std::size_t unit = format == 32 ? sizeof(long) : static_cast<std::size_t>(format / 8);
        if (format == 32) {
            // 32-bit items arrive as longs: keep their low 32 bits.
            for (unsigned long i = 0; i < count; ++i) {
                const auto v = static_cast<std::uint32_t>(reinterpret_cast<unsigned long*>(data)[i]);
                out.append(reinterpret_cast<const char*>(&v), 4);
            }
        } else {
            out.append(reinterpret_cast<const char*>(data), count * unit);
        }
        XFree(data);
        offset += static_cast<long>(count * (format == 32 ? 4 : unit) / 4);
        if (after == 0) return out;
    }
}

std::optional<std::vector<unsigned long>> readCardinals(Display* d, Window w, Atom property, Atom type) {
    Atom actual = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    ErrorTrap trap(d);
    if (XGetWindowProperty(d, w, property, 0, 1 << 16, False, type, &actual, &format, &count, &after, &data) != Success ||
        actual != type || format != 32) {
        if (data) XFree(data);
        return std::nullopt;
    }
    std::vector<unsigned long> out(reinterpret_cast<unsigned long*>(data), reinterpret_cast<unsigned long*>(data) + count);
    XFree(data);
    return out;
}

std::string atomName(Display* d, Atom atom) {
    if (atom == None) return {};
    ErrorTrap trap(d);
    char* name = XGetAtomName(d, atom);
    if (name == nullptr) return {};
    std::string out = name;
    XFree(name);
    return out;
}

XEventThread::XEventThread(const std::string& displayName) {
    initXlib();
    display_ = XOpenDisplay(displayName.c_str());
    if (display_ == nullptr) throw std::runtime_error("cannot open display " + displayName);
    if (pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) {
        XCloseDisplay(display_);
        throw std::runtime_error("pipe failed");
    }
    thread_ = std::thread([this] { runLoop(); });
}

XEventThread::~XEventThread() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    const char b = 's';
    [[maybe_unused]] auto n = write(wakeFds_[1], &b, 1);
    if (thread_.joinable()) thread_.join();
    XCloseDisplay(display_);
    close(wakeFds_[0]);
    close(wakeFds_[1]);
}

void XEventThread::post(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    const char b = 'j';
    [[maybe_unused]] auto n = write(wakeFds_[1], &b, 1);
}

std::uint64_t XEventThread::addHandler(Handler handler) {
    const auto id = nextHandler_++;
    handlers_.emplace_back(id, std::move(handler));
    return id;
}

void XEventThread::removeHandler(std::uint64_t id) {
    std::erase_if(handlers_, [id](const auto& h) { return h.first == id; });
}

void XEventThread::runLoop() {
    const int xfd = ConnectionNumber(display_);
    for (;;) {
        std::deque<std::function<void()>> jobs;
        {
            std::lock_guard lock(mutex_);
            if (stop_) return;
            jobs.swap(jobs_);
        }
        for (auto& job : jobs) job();
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            const bool generic = event.type == GenericEvent && XGetEventData(display_, &event.xcookie);
            const auto handlers = handlers_;  // a handler may add or remove handlers
            for (const auto& [id, handler] : handlers) handler(event);
            if (generic) XFreeEventData(display_, &event.xcookie);
        }
        XFlush(display_);
        {
            std::lock_guard lock(mutex_);
            if (stop_) return;
            if (!jobs_.empty()) continue;
        }
        pollfd fds[2] = {{xfd, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        if (poll(fds, 2, 1000) < 0 && errno != EINTR) return;
        if (fds[1].revents & POLLIN) {
            char buf[64];
            while (read(wakeFds_[0], buf, sizeof buf) > 0) {
            }
        }
    }
}

XRequests::XRequests(const std::string& displayName) {
    initXlib();
    display_ = XOpenDisplay(displayName.c_str());
    if (display_ == nullptr) throw std::runtime_error("cannot open display " + displayName);
}

XRequests::~XRequests() { XCloseDisplay(display_); }

}  // namespace talkweft::platform::linuxdesktop
