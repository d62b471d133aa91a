#include "Platform/Headless/HeadlessKeyboard.hpp"

namespace talkweft::platform::headless {

bool HeadlessKeyboard::post(const std::vector<KeyStroke>& strokes) {
    if (!canCreateEvents) return false;
    for (const auto& stroke : strokes) {
        posted.push_back(stroke);
        if (stroke.down && stroke.keyCode == KEY_V && (stroke.flags & FLAG_COMMAND) != 0 && onPasteChord) onPasteChord();
    }
    return true;
}

std::optional<MonitorId> HeadlessKeyboard::addMonitor(MonitorScope scope, std::function<void(const KeyboardEvent&)> handler) {
    if (!monitorsAvailable) return std::nullopt;
    MonitorId id = nextId_++;
    monitors_.emplace(id, std::make_pair(scope, std::move(handler)));
    return id;
}

void HeadlessKeyboard::removeMonitor(MonitorId id) { monitors_.erase(id); }

std::size_t HeadlessKeyboard::monitorCount(MonitorScope scope) const {
    std::size_t n = 0;
    for (const auto& [id, monitor] : monitors_) n += monitor.first == scope ? 1 : 0;
    return n;
}

void HeadlessKeyboard::deliver(MonitorScope scope, const KeyboardEvent& event) {
    // Copy first: a handler may add or remove monitors.
    std::vector<std::function<void(const KeyboardEvent&)>> handlers;
    for (const auto& [id, monitor] : monitors_) {
        if (monitor.first == scope) handlers.push_back(monitor.second);
    }
    for (auto& h : handlers) h(event);
}

void HeadlessKeyboard::sendKeyDown(std::uint16_t keyCode, MonitorScope scope) {
    KeyboardEvent event;
    event.type = KeyboardEvent::Type::keyDown;
    event.keyCode = keyCode;
    event.isEscape = keyCode == KEY_ESCAPE;
    event.rawFlags = liveFlags_;
    deliver(scope, event);
}

void HeadlessKeyboard::sendFlags(std::uint64_t rawFlags, MonitorScope scope) {
    liveFlags_ = rawFlags;
    KeyboardEvent event;
    event.type = KeyboardEvent::Type::flagsChanged;
    event.rawFlags = rawFlags;
    deliver(scope, event);
}

}  // namespace talkweft::platform::headless
