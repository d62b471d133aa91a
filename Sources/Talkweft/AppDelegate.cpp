#include "Talkweft/AppDelegate.hpp"

#include <cmath>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include <locale.h>
#include <stdlib.h>

#include "AudioInput/AudioSystem.hpp"
#include "Platform/LoginItem.hpp"
#include "Platform/Platform.hpp"
#include "Platform/SettingsWindow.hpp"
#include "Platform/URLCommand.hpp"
#include "Talkweft/Log.hpp"
#include "Talkweft/Paths.hpp"
#include "TalkweftCore/URLComponents.hpp"
#include "Unicode/Unicode.hpp"

namespace talkweft {

namespace LoginItem {
void set(bool on) {
    auto* service = platform::hasCurrent() ? platform::current().loginItem : nullptr;
    if (!service) return;
    try {
        on ? service->registerApp() : service->unregisterApp();
    } catch (const std::exception& e) {
        Log::write(std::string("login item: ") + e.what());
    }
}
}  // namespace LoginItem

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> percentDecode(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size()) return std::nullopt;
        int hi = hexValue(s[i + 1]), lo = hexValue(s[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    // Escaped bytes that are not UTF-8 read as U+FFFD, so no broken text travels further.
    return unicode::repairUTF8(out);
}

}  // namespace

std::optional<std::vector<std::pair<std::string, std::string>>> calcQueryItems(const std::string& url) {
    if (!parseURLComponents(url)) return std::nullopt;
    std::vector<std::pair<std::string, std::string>> items;
    auto end = url.find('#');  // a "?" inside the fragment starts no query
    auto q = url.find('?');
    if (q == std::string::npos || q > end) return items;
    std::string_view query(url.data() + q + 1, (end == std::string::npos ? url.size() : end) - q - 1);
    std::size_t start = 0;
    while (start <= query.size()) {
        auto amp = query.find('&', start);
        std::string_view part = query.substr(start, amp == std::string_view::npos ? std::string_view::npos : amp - start);
        if (!part.empty()) {
            auto eq = part.find('=');
            auto name = percentDecode(part.substr(0, eq));
            auto value = eq == std::string_view::npos ? std::optional<std::string>("") : percentDecode(part.substr(eq + 1));
            if (!name || !value) return std::nullopt;
            bool seen = false;
            for (auto& [n, v] : items) seen = seen || n == *name;
            if (!seen) items.emplace_back(*name, *value);
        }
        if (amp == std::string_view::npos) break;
        start = amp + 1;
    }
    return items;
}

double calcURLDelay(const std::string& value) {
    // Whitespace around the number makes it no number; the C locale keeps "." the decimal point
    // whatever locale a toolkit has switched the process to.
    if (value.empty() || std::isspace(static_cast<unsigned char>(value.front()))) return 0;
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    char* end = nullptr;
    double d = cLocale ? strtod_l(value.c_str(), &end, cLocale) : std::strtod(value.c_str(), &end);
    if (end != value.c_str() + value.size() || std::isnan(d) || d < 0) return 0;
    return std::min(d, MAX_URL_DELAY_SECONDS);
}

AppDelegate::AppDelegate(std::shared_ptr<Transcriber> transcriber)
    : settings(*platform::current().defaults), transcriber_(std::move(transcriber)) {}

AppDelegate::~AppDelegate() {
    alive_.reset();
    if (!platform::hasCurrent()) return;
    if (auto* urls = platform::current().urlCommands) urls->stop();
    if (auto* ws = platform::current().workspace; ws && activationObserver_) ws->removeObserver(activationObserver_);
    if (auto* item = platform::current().statusItem) item->setMenuBuilder(nullptr);
}

Controller& AppDelegate::controller() {
    if (!controller_) controller_ = std::make_unique<Controller>(settings, transcriber_);
    return *controller_;
}

void AppDelegate::applicationDidFinishLaunching() {
    auto& p = platform::current();
    std::weak_ptr<bool> alive = alive_;
    if (p.statusItem) {
        p.statusItem->setIcon("text.bubble", "Talkweft");
        p.statusItem->setMenuBuilder([this, alive] {
            return alive.lock() ? menuNeedsUpdate() : std::vector<platform::MenuItem>{};
        });
    }
    if (p.urlCommands) {
        try {
            p.urlCommands->start([this, alive](const std::string& url) { if (alive.lock()) handleURL(url); },
                                 [](const std::string& reason) { Log::write("url: refused (" + reason + ")"); });
        } catch (const std::exception& e) {
            Log::write(std::string("url: can't receive commands: ") + e.what());
        }
    }
    if (p.workspace && p.accessibility) {
        activationObserver_ = p.workspace->addActivationObserver([](const platform::RunningApp& app) {
            if (auto el = platform::current().accessibility->application(app.pid))
                el->setAttribute(platform::AX_MANUAL_ACCESSIBILITY, platform::AXValue(true));
        });
    }
    controller().onStatus = [this, alive](const std::string& text) {
        if (!alive.lock()) return;
        status = text;
        onStatusChange(text);
    };
    if (p.defaults && !p.defaults->boolValue("didSetLoginItem")) {
        p.defaults->setBool("didSetLoginItem", true);
        LoginItem::set(true);
    }
    if (p.accessibility) p.accessibility->isProcessTrusted(true);
    if (settings.value().captureScreenshot && p.screen && !p.screen->preflightAccess()) p.screen->requestAccess();
    // The microphone prompt may block until answered: ask off the main thread, then start.
    auto* audio = p.audio;
    auto* loop = p.loop;
    waits_.push_back(std::make_unique<std::jthread>([audio, loop, this, alive] {
        if (audio) audio->requestRecordPermission();
        loop->post([this, alive] {
            if (!alive.lock()) return;
            controller().hotkeys.start();
            controller().prepareTranscriber();
        });
    }));
    Log::write("launched");
}

std::vector<platform::MenuItem> AppDelegate::menuNeedsUpdate() {
    using platform::MenuItem;
    menuCapture = ContextReader::capture();
    const Settings& s = settings.value();
    std::vector<MenuItem> items;
    items.push_back(MenuItem::line("Talkweft: " + status));
    items.push_back(MenuItem::line("Dictate: " + calcChordLabel(s.dictateChord) + "   Agent: " + calcChordLabel(s.agentChord)));
    if (s.claude.connectors && s.claude.connectorWrites) items.push_back(MenuItem::line("⚠︎ Connectors can make changes"));
    items.push_back(MenuItem::divider());
    auto action = [this, alive = std::weak_ptr<bool>(alive_)](void (AppDelegate::*f)()) {
        return [this, alive, f] { if (alive.lock()) (this->*f)(); };
    };
    if (menuCapture) {
        const auto& ctx = menuCapture->ctx;
        std::string verb = s.isDisabled(ctx.bundleID) ? "Turn On in " : "Turn Off in ";
        items.push_back({verb + ctx.appName, false, true, false, {}, action(&AppDelegate::toggleApp)});
        items.push_back({"Forget History for " + ctx.appName + ": " + unicode::prefixCharacters(calcSubject(ctx), 50), false, true,
                         false, {}, action(&AppDelegate::forget)});
    }
    items.push_back({"Connectors (read-only)", false, true, s.claude.connectors, {}, action(&AppDelegate::toggleConnectors)});
    items.push_back({"Show History Folder", false, true, false, {}, action(&AppDelegate::openHistory)});
    items.push_back({"Show Log", false, true, false, {}, action(&AppDelegate::openLog)});
    items.push_back(MenuItem::divider());
    items.push_back({"Settings…", false, true, false, ",", action(&AppDelegate::openSettings)});
    items.push_back({"Quit Talkweft", false, true, false, "q", action(&AppDelegate::quit)});
    return items;
}

void AppDelegate::toggleApp() {
    if (!menuCapture) return;
    std::string id = menuCapture->ctx.bundleID;
    settings.update([&](Settings& s) {
        if (s.isDisabled(id))
            std::erase_if(s.disabledApps, [&](const std::string& x) { return x == id; });
        else
            s.disabledApps.push_back(id);
    });
}

void AppDelegate::forget() {
    if (!menuCapture) return;
    ForgetResult r = controller().forget(*menuCapture);
    switch (r.kind) {
        case ForgetResult::Kind::cleared: controller().hud.show(HUDState::note("History cleared")); break;
        case ForgetResult::Kind::nothing: controller().hud.show(HUDState::note("No history for this context")); break;
        case ForgetResult::Kind::failed:
            controller().hud.show(HUDState::error("Couldn't clear the history: " + r.error));
            break;
    }
}

void AppDelegate::toggleConnectors() {
    settings.update([](Settings& s) { s.claude.connectors = !s.claude.connectors; });
    if (!settings.value().claude.connectors) settings.update([](Settings& s) { s.claude.connectorWrites = false; });
}

void AppDelegate::openHistory() {
    std::error_code ec;
    std::filesystem::create_directories(controller().store.root, ec);
    if (auto* ws = platform::current().workspace) ws->openPath(controller().store.root.string());
}

void AppDelegate::openLog() {
    if (auto* ws = platform::current().workspace) ws->openPath(Log::url().string());
}

void AppDelegate::openSettings() {
    if (!settingsWindow) settingsWindow = SettingsWindow{"Talkweft Settings", &settings, controller().store, 0};
    settingsWindow->presentations++;
    if (auto* surface = platform::current().settingsWindow)
        surface->present(settingsWindow->title, settings, settingsWindow->history);
}

void AppDelegate::quit() { platform::current().loop->quit(); }

void AppDelegate::afterDelay(double delay, std::function<void()> job) {
    std::weak_ptr<bool> alive = alive_;
    platform::current().loop->addTimer(platform::seconds(delay), [alive, job = std::move(job)] {
        if (alive.lock()) job();
    });
}

void AppDelegate::handleURL(const std::string& url) {
    auto components = parseURLComponents(url);
    auto items = calcQueryItems(url);
    if (!components || !items) {
        Log::write("url: ignored, not a URL");
        return;
    }
    if (!components->host || components->host->empty()) {
        Log::write("url: ignored, no command");
        return;
    }
    std::map<std::string, std::string> query(items->begin(), items->end());
    auto get = [&](const std::string& k, const std::string& d) {
        auto it = query.find(k);
        return it == query.end() ? d : it->second;
    };
    const std::string& host = *components->host;
    if (host == "run") {
        Mode mode = get("mode", "agent") == "dictate" ? Mode::dictate : Mode::agent;
        std::string text = get("text", "");
        afterDelay(calcURLDelay(get("delay", "0")), [this, mode, text] { controller().run(mode, text); });
    } else if (host == "probe") {
        afterDelay(calcURLDelay(get("delay", "0")), [] {
            auto cap = ContextReader::capture();
            if (!cap) return;
            std::string json = "{}";
            try {
                nlohmann::json ctx(cap->ctx.toJSON(DateCoding::referenceSeconds));
                // The field's text can be as long as a document: each text is cut to a few KiB.
                for (auto& value : ctx)
                    if (value.is_string()) value = Log::cut(value.get_ref<const std::string&>());
                json = ctx.dump(2);
            } catch (const std::exception&) {
            }
            Log::write("probe subject=" + Log::cut(calcSubject(cap->ctx)) + " secure=" + (cap->secure ? "true" : "false") + "\n" + json);
        });
    } else {
        Log::write("url: ignored, unknown command");
    }
}

}  // namespace talkweft
