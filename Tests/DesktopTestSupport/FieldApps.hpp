// The test-field apps (apps/gtk_fields.py, apps/qt_fields.py) started in a desktop session, and
// waits on what they print: "ready" once their field has focus, then a JSON line per text change.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "DesktopSession.hpp"
#include "Platform/Accessibility.hpp"

namespace desktoptest {

class FieldApp {
public:
    // Starts apps/<script> with `args`; the app is ended with the session at the latest.
    FieldApp(DesktopSession& session, const std::string& script, std::vector<std::string> args, const std::string& name)
        : session_(session), log_(session.runFolder() / "logs" / (name + ".log")) {
        std::vector<std::string> argv{"/usr/bin/python3", std::string(TALKWEFT_DESKTOP_TEST_APPS) + "/" + script};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = session.spawn(argv, name);
    }
    ~FieldApp() {
        if (pid_ > 0) session_.stop(pid_);
    }
    FieldApp(const FieldApp&) = delete;
    FieldApp& operator=(const FieldApp&) = delete;

    pid_t pid() const { return pid_; }

    // Everything the app printed so far, line by line.
    std::vector<std::string> lines() const {
        std::ifstream in(log_);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    bool waitReady() const {
        return DesktopSession::waitFor([&] {
            for (const auto& l : lines())
                if (l == "ready") return true;
            return false;
        });
    }
    // The text the app last reported for `field`, if any.
    std::optional<std::string> lastText(const std::string& field) const {
        std::optional<std::string> text;
        for (const auto& l : lines()) {
            if (l.empty() || l[0] != '{') continue;
            auto j = nlohmann::json::parse(l, nullptr, false);
            if (!j.is_discarded() && j.value("field", "") == field) text = j.value("text", "");
        }
        return text;
    }
    bool waitForText(const std::string& field, const std::string& text) const {
        return DesktopSession::waitFor([&] { return lastText(field) == text; });
    }

private:
    DesktopSession& session_;
    std::filesystem::path log_;
    pid_t pid_ = -1;
};

// The element the app's "AXFocusedUIElement" names, once it names one whose "AXFocused" is true.
inline talkweft::platform::AXElementRef waitForFocus(talkweft::platform::Accessibility& ax, pid_t pid) {
    using namespace talkweft::platform;
    AXElementRef found;
    DesktopSession::waitFor([&] {
        auto v = ax.application(pid)->attribute(AX_FOCUSED_UI_ELEMENT);
        if (!v || !std::holds_alternative<AXElementRef>(*v)) return false;
        auto el = std::get<AXElementRef>(*v);
        auto focused = el ? el->attribute(AX_FOCUSED) : std::nullopt;
        if (focused != AXValue(true)) return false;
        found = el;
        return true;
    });
    return found;
}

}  // namespace desktoptest
