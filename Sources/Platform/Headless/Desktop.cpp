#include "Platform/Headless/Desktop.hpp"

namespace talkweft::platform::headless {

class Desktop::WorkspaceImpl : public Workspace {
public:
    explicit WorkspaceImpl(Desktop& desktop) : desktop_(desktop) {}

    std::optional<RunningApp> frontmostApplication() override {
        auto app = desktop_.frontmost();
        if (!app) return std::nullopt;
        return RunningApp{app->pid, app->bundleID, app->name};
    }

    ObserverId addActivationObserver(std::function<void(const RunningApp&)> handler) override {
        ObserverId id = nextId_++;
        activation_.emplace(id, std::move(handler));
        return id;
    }

    ObserverId addSleepObserver(std::function<void()> handler) override {
        ObserverId id = nextId_++;
        sleep_.emplace(id, std::move(handler));
        return id;
    }

    void removeObserver(ObserverId id) override {
        activation_.erase(id);
        sleep_.erase(id);
    }

    bool openPath(const std::string& path) override {
        desktop_.openedPaths.push_back(path);
        return true;
    }

    std::string userName() override { return desktop_.userName; }

    void notifyActivation(const RunningApp& app) {
        auto copy = activation_;
        for (auto& [id, h] : copy) h(app);
    }

    void notifySleep() {
        auto copy = sleep_;
        for (auto& [id, h] : copy) h();
    }

private:
    Desktop& desktop_;
    ObserverId nextId_ = 1;
    std::map<ObserverId, std::function<void(const RunningApp&)>> activation_;
    std::map<ObserverId, std::function<void()>> sleep_;
};

class Desktop::AccessibilityImpl : public Accessibility {
public:
    explicit AccessibilityImpl(Desktop& desktop) : desktop_(desktop) {}

    bool isProcessTrusted(bool prompt) override {
        if (prompt && !desktop_.trusted_) ++desktop_.trustPrompts_;
        return desktop_.trusted_;
    }

    AXElementRef systemWide() override {
        if (!desktop_.trusted_) return dead();
        return desktop_.systemWide_;
    }

    AXElementRef application(std::int32_t pid) override {
        auto app = desktop_.app(pid);
        if (!app || !desktop_.trusted_) return dead();
        return app;
    }

private:
    static AXElementRef dead() {
        auto node = std::make_shared<Node>("AXUnknown");
        node->remove();
        return node;
    }

    Desktop& desktop_;
};

Desktop::Desktop(HeadlessLoop::ClockMode clock)
    : loop_(clock),
      workspace_(std::make_unique<WorkspaceImpl>(*this)),
      accessibility_(std::make_unique<AccessibilityImpl>(*this)),
      systemWide_(std::make_shared<SystemWideNode>([this] { return frontmost(); })) {
    keyboard_.onPasteChord = [this] { loop_.addTimer(pasteDelay, [this] { landPaste(); }); };
    platform_.loop = &loop_;
    platform_.workspace = workspace_.get();
    platform_.accessibility = accessibility_.get();
    platform_.pasteboard = &pasteboard_;
    platform_.keys = &keyboard_;
    platform_.keyboard = &keyboard_;
    platform_.screen = &screen_;
    platform_.defaults = &defaults_;
    platform_.settingsWindow = &settingsWindow_;
}

Desktop::~Desktop() = default;

std::shared_ptr<AppNode> Desktop::addApp(std::int32_t pid, std::optional<std::string> bundleID,
                                         std::optional<std::string> name) {
    auto app = std::make_shared<AppNode>(pid, std::move(bundleID), std::move(name));
    apps_[pid] = app;
    return app;
}

std::shared_ptr<AppNode> Desktop::app(std::int32_t pid) const {
    auto it = apps_.find(pid);
    return it == apps_.end() ? nullptr : it->second;
}

std::shared_ptr<AppNode> Desktop::frontmost() const { return frontmost_ ? app(*frontmost_) : nullptr; }

void Desktop::activate(std::int32_t pid) {
    auto a = app(pid);
    if (!a) return;
    frontmost_ = pid;
    workspace_->notifyActivation(RunningApp{a->pid, a->bundleID, a->name});
}

void Desktop::sleep() { workspace_->notifySleep(); }

void Desktop::landPaste() {
    // The app in front when the key event arrives takes the pasteboard's text as it is then.
    auto app = frontmost();
    if (!app || !app->acceptsPaste) return;
    auto field = std::dynamic_pointer_cast<TextField>(app->focused());
    if (!field || !field->alive() || field->readOnly) return;
    auto text = pasteboard_.plainText();
    if (!text) return;
    field->insertAtSelection(*text);
    ++pastesLanded;
}

}  // namespace talkweft::platform::headless
