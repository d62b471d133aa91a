#include "Platform/Linux/AtspiElement.hpp"

#include <algorithm>
#include <mutex>
#include <utility>

#include "Platform/Linux/AtspiCall.hpp"
#include "Platform/Linux/AtspiFocus.hpp"
#include "Platform/Linux/AtspiTextFields.hpp"
#include "Unicode/Unicode.hpp"

namespace talkweft::platform::linuxdesktop::atspi {

namespace {

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

}  // namespace

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

std::optional<AXValue> AtspiElement::attribute(std::string_view name) const {
    const std::string key(name);
    if (kind_ == Kind::systemWide) {
        if (name != AX_FOCUSED_UI_ELEMENT) return std::nullopt;
        auto self = state_;
        return onThread<AXValue>([self](StatePtr s, AtspiAccessible*) -> std::optional<AXValue> {
            auto found = focusOnDesktop(s);
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

}  // namespace talkweft::platform::linuxdesktop::atspi
