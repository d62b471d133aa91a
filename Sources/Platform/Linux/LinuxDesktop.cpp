#include "Platform/Linux/LinuxDesktop.hpp"

#include <cstdlib>
#include <stdexcept>

namespace talkweft::platform::linuxdesktop {

namespace {
std::string resolveDisplay(const std::string& name) {
    if (!name.empty()) return name;
    const char* env = std::getenv("DISPLAY");
    return env ? env : "";
}
}  // namespace

bool displayAnswers(const std::string& displayName) {
    const std::string name = resolveDisplay(displayName);
    if (name.empty()) return false;
    initXlib();
    Display* d = XOpenDisplay(name.c_str());
    if (d == nullptr) return false;
    XCloseDisplay(d);
    return true;
}

LinuxDesktop::LinuxDesktop(const std::string& displayName)
    : ownLoop_(std::make_unique<headless::HeadlessLoop>(headless::HeadlessLoop::ClockMode::realClock)), loop_(ownLoop_.get()) {
    start(displayName);
}

LinuxDesktop::LinuxDesktop(MainLoop& loop, const std::string& displayName) : loop_(&loop) { start(displayName); }

headless::HeadlessLoop& LinuxDesktop::loop() {
    if (!ownLoop_) throw std::logic_error("this desktop runs on an outside main loop");
    return *ownLoop_;
}

void LinuxDesktop::start(const std::string& displayName) {
    displayName_ = resolveDisplay(displayName);
    if (displayName_.empty()) throw std::runtime_error("no display: DISPLAY is not set");
    requests_ = std::make_unique<XRequests>(displayName_);
    events_ = std::make_unique<XEventThread>(displayName_);
    workspace_ = std::make_unique<LinuxWorkspace>(*events_, *requests_, *loop_);
    keyboard_ = std::make_unique<LinuxKeyboard>(*events_, *requests_, *loop_, [this] { return workspace_->frontClass(); });
    pasteboard_ = std::make_unique<X11Pasteboard>(*events_);
    captureRequests_ = std::make_unique<XRequests>(displayName_);
    screen_ = std::make_unique<X11ScreenCapture>(*captureRequests_);
    sleep_ = std::make_unique<LogindSleep>([this, alive = alive_](bool sleeping) {
        if (!sleeping) return;  // waking needs nothing: the next chord starts afresh
        loop_->post([this, alive] {
            if (alive->load()) workspace_->notifySleep();
        });
    });
    accessibility_ = std::make_unique<AtspiAccessibility>();
    platform_.loop = loop_;
    platform_.accessibility = accessibility_.get();
    platform_.workspace = workspace_.get();
    platform_.pasteboard = pasteboard_.get();
    platform_.keys = keyboard_.get();
    platform_.keyboard = keyboard_.get();
    platform_.screen = screen_.get();
}

LinuxDesktop::~LinuxDesktop() {
    alive_->store(false);
    sleep_.reset();
}

}  // namespace talkweft::platform::linuxdesktop
