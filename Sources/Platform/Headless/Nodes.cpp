#include "Platform/Headless/Nodes.hpp"

#include <algorithm>

#include "Unicode/Unicode.hpp"

namespace talkweft::platform::headless {

// ---- Node ----

Node::Node(std::string role) { table_.emplace(std::string(AX_ROLE), std::move(role)); }

void Node::set(std::string_view name, AXValue value) { table_.insert_or_assign(std::string(name), std::move(value)); }

void Node::unset(std::string_view name) {
    auto it = table_.find(name);
    if (it != table_.end()) table_.erase(it);
}

void Node::setSettable(std::string_view name, bool settable) {
    if (settable) {
        settable_.emplace(name);
    } else if (auto it = settable_.find(name); it != settable_.end()) {
        settable_.erase(it);
    }
}

void Node::addChild(const std::shared_ptr<Node>& child) {
    child->parent_ = weak_from_this();
    children_.push_back(child);
}

std::shared_ptr<AppNode> Node::app() const {
    // Bounded: setParent can make a cycle.
    auto node = std::const_pointer_cast<Node>(shared_from_this());
    for (int depth = 0; node && depth < 1000; ++depth, node = node->parent()) {
        if (auto app = std::dynamic_pointer_cast<AppNode>(node)) return app;
    }
    return nullptr;
}

std::optional<AXValue> Node::attribute(std::string_view name) const {
    if (onRead) onRead(name);
    if (!alive_) return std::nullopt;
    if (auto it = table_.find(name); it != table_.end()) return it->second;
    if (name == AX_PARENT) {
        if (auto p = parent_.lock()) return AXValue(AXElementRef(p));
        return std::nullopt;
    }
    return computeAttribute(name);
}

std::optional<AXValue> Node::parameterizedAttribute(std::string_view name, const AXValue& parameter) const {
    if (onRead) onRead(name);
    if (!alive_) return std::nullopt;
    return computeParameterized(name, parameter);
}

bool Node::isSettable(std::string_view name) const {
    if (!alive_) return false;
    return settable_.count(name) > 0 || computeSettable(name);
}

bool Node::setAttribute(std::string_view name, const AXValue& value) {
    if (!alive_ || !isSettable(name)) return false;
    if (name == AX_FOCUSED) {
        const bool* on = std::get_if<bool>(&value);
        if (on == nullptr) return false;
        if (*on) {
            if (auto a = app()) a->focus(shared_from_this());
        }
        writes.emplace_back(std::string(name), value);
        return true;
    }
    bool ok = settable_.count(name) > 0 ? (set(name, value), true) : applyWrite(name, value);
    if (ok) writes.emplace_back(std::string(name), value);
    return ok;
}

std::optional<AXValue> Node::computeAttribute(std::string_view name) const {
    if (name == AX_FOCUSED) {
        auto a = app();
        return AXValue(a != nullptr && a->focused().get() == this);
    }
    return std::nullopt;
}

std::optional<AXValue> Node::computeParameterized(std::string_view, const AXValue&) const { return std::nullopt; }

bool Node::computeSettable(std::string_view name) const { return name == AX_FOCUSED; }

bool Node::applyWrite(std::string_view, const AXValue&) { return false; }

// ---- TextField ----

TextField::TextField(std::string_view text, std::string role)
    : Node(role), secure(role == AX_ROLE_SECURE_TEXT_FIELD) {
    setText(text);
}

void TextField::setText(std::string_view utf8) { setUnits(unicode::toUTF16(utf8)); }

void TextField::setUnits(std::u16string units) {
    units_ = std::move(units);
    selection_ = {static_cast<std::int64_t>(units_.size()), 0};
}

std::string TextField::text() const { return unicode::fromUTF16(units_); }

void TextField::insertAtSelection(std::string_view utf8) {
    std::u16string inserted = unicode::toUTF16(utf8);
    const auto size = static_cast<std::int64_t>(units_.size());
    const std::int64_t loc = std::clamp<std::int64_t>(selection_.location, 0, size);
    const std::int64_t len = std::clamp<std::int64_t>(selection_.length, 0, size - loc);
    units_.replace(static_cast<std::size_t>(loc), static_cast<std::size_t>(len), inserted);
    selection_ = {loc + static_cast<std::int64_t>(inserted.size()), 0};
}

bool TextField::inText(AXRange r) const {
    // Compared without adding, so ranges near the integer limits cannot overflow.
    const auto size = static_cast<std::int64_t>(units_.size());
    return r.location >= 0 && r.length >= 0 && r.location <= size && r.length <= size - r.location;
}

bool TextField::readable(AXRange r) const {
    if (secure || !inText(r)) return false;
    if (visibleOnly) {
        const AXRange v = *visibleOnly;
        if (v.location < 0 || v.length < 0 || r.location < v.location) return false;
        return r.length <= v.length && r.location - v.location <= v.length - r.length;
    }
    return true;
}

std::optional<AXValue> TextField::computeAttribute(std::string_view name) const {
    const auto size = static_cast<std::int64_t>(units_.size());
    if (name == AX_POSITION) return AXValue(Point{frame.x, frame.y});
    if (name == AX_SIZE) return AXValue(Size{frame.width, frame.height});
    if (secure && name != AX_FOCUSED) return std::nullopt;
    if (name == AX_VALUE) {
        if (!answersValue || visibleOnly) return std::nullopt;
        return AXValue(text());
    }
    if (name == AX_NUMBER_OF_CHARACTERS) {
        if (!answersCount || visibleOnly) return std::nullopt;
        return AXValue(size);
    }
    if (name == AX_VISIBLE_CHARACTER_RANGE) return AXValue(visibleOnly ? *visibleOnly : AXRange{0, size});
    if (name == AX_SELECTED_TEXT_RANGE) return AXValue(selection_);
    if (name == AX_SELECTED_TEXT) {
        const auto loc = std::clamp<std::int64_t>(selection_.location, 0, size);
        const auto len = std::clamp<std::int64_t>(selection_.length, 0, size - loc);
        std::string selected = unicode::fromUTF16(std::u16string_view(units_).substr(static_cast<std::size_t>(loc), static_cast<std::size_t>(len)));
        if (selectedTextFilter) selected = selectedTextFilter(std::move(selected));
        return AXValue(std::move(selected));
    }
    return Node::computeAttribute(name);
}

std::optional<AXValue> TextField::computeParameterized(std::string_view name, const AXValue& parameter) const {
    const AXRange* r = std::get_if<AXRange>(&parameter);
    if (r == nullptr || secure) return std::nullopt;
    if (name == AX_STRING_FOR_RANGE) {
        if (!readable(*r)) return std::nullopt;
        return AXValue(unicode::fromUTF16(std::u16string_view(units_).substr(static_cast<std::size_t>(r->location), static_cast<std::size_t>(r->length))));
    }
    if (name == AX_BOUNDS_FOR_RANGE) {
        if (!inText(*r)) return std::nullopt;
        if (wholeDocumentBounds) return AXValue(Rect{frame.x, frame.y, 6000, 4000});
        return AXValue(Rect{frame.x + 2 + 8.0 * static_cast<double>(r->location), frame.y + 2, 8.0 * static_cast<double>(r->length), 16});
    }
    return std::nullopt;
}

bool TextField::computeSettable(std::string_view name) const {
    if (name == AX_VALUE || name == AX_SELECTED_TEXT || name == AX_SELECTED_TEXT_RANGE) return !readOnly;
    return Node::computeSettable(name);
}

bool TextField::applyWrite(std::string_view name, const AXValue& value) {
    if (name == AX_SELECTED_TEXT_RANGE) {
        const AXRange* r = std::get_if<AXRange>(&value);
        if (r == nullptr || !inText(*r)) return false;
        selection_ = *r;
        return true;
    }
    const std::string* s = std::get_if<std::string>(&value);
    if (s == nullptr) return false;
    if (name == AX_VALUE) {
        setText(*s);
        return true;
    }
    if (name == AX_SELECTED_TEXT) {
        insertAtSelection(*s);
        return true;
    }
    return false;
}

// ---- AppNode ----

AppNode::AppNode(std::int32_t pid_, std::optional<std::string> bundleID_, std::optional<std::string> name_)
    : Node(std::string(AX_ROLE_APPLICATION)), pid(pid_), bundleID(std::move(bundleID_)), name(std::move(name_)) {
    if (name) set(AX_TITLE, *name);
}

std::shared_ptr<Node> AppNode::addWindow(std::optional<std::string> title) {
    auto window = std::make_shared<Node>(std::string(AX_ROLE_WINDOW));
    if (title) window->set(AX_TITLE, *title);
    addChild(window);
    focusedWindow_ = window;
    return window;
}

std::optional<AXValue> AppNode::computeAttribute(std::string_view name) const {
    if (name == AX_FOCUSED_UI_ELEMENT) {
        if (buildsTreeOnDemand && !manualAccessibility) return std::nullopt;
        if (auto f = focused_.lock()) return AXValue(AXElementRef(f));
        return std::nullopt;
    }
    if (name == AX_FOCUSED_WINDOW) {
        if (auto w = focusedWindow_.lock()) return AXValue(AXElementRef(w));
        return std::nullopt;
    }
    if (name == AX_MANUAL_ACCESSIBILITY) return AXValue(manualAccessibility);
    return Node::computeAttribute(name);
}

bool AppNode::computeSettable(std::string_view name) const {
    return name == AX_MANUAL_ACCESSIBILITY || Node::computeSettable(name);
}

bool AppNode::applyWrite(std::string_view name, const AXValue& value) {
    if (name == AX_MANUAL_ACCESSIBILITY) {
        const bool* on = std::get_if<bool>(&value);
        if (on == nullptr) return false;
        manualAccessibility = *on;
        return true;
    }
    return false;
}

// ---- SystemWideNode ----

SystemWideNode::SystemWideNode(std::function<std::shared_ptr<AppNode>()> frontmost)
    : Node("AXSystemWide"), frontmost_(std::move(frontmost)) {}

std::optional<AXValue> SystemWideNode::computeAttribute(std::string_view name) const {
    if (!answers) return std::nullopt;
    if (name == AX_FOCUSED_UI_ELEMENT) {
        auto app = frontmost_();
        if (!app) return std::nullopt;
        return app->attribute(AX_FOCUSED_UI_ELEMENT);
    }
    return std::nullopt;
}

}  // namespace talkweft::platform::headless
