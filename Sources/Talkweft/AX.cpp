#include "Talkweft/AX.hpp"

#include <cctype>
#include <cmath>
#include <limits>

#include "Platform/Platform.hpp"
#include "Unicode/Unicode.hpp"

namespace talkweft::AX {

namespace pf = talkweft::platform;

namespace {

std::optional<pf::AXValue> read(const Element& el, std::string_view attribute) {
    if (!el) return std::nullopt;
    return el->attribute(attribute);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The path of a "file:" URL ("file:///p", "file://localhost/p"), percent-decoded; nothing for any
// other URL or a malformed one.
std::optional<std::string> filePath(std::string_view url) {
    constexpr std::string_view scheme = "file:";
    if (url.size() < scheme.size()) return std::nullopt;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) return std::nullopt;
    }
    std::string_view rest = url.substr(scheme.size());
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const auto slash = rest.find('/');
        const std::string_view host = rest.substr(0, slash);
        if (!host.empty() && host != "localhost") return std::nullopt;
        if (slash == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(slash);
    }
    if (!rest.starts_with("/")) return std::nullopt;
    rest = rest.substr(0, rest.find_first_of("?#"));
    std::string out;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%') {
            if (i + 2 >= rest.size()) return std::nullopt;
            const int hi = hexValue(rest[i + 1]);
            const int lo = hexValue(rest[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            const char c = static_cast<char>(hi * 16 + lo);
            if (c == '\0') return std::nullopt;
            out.push_back(c);
            i += 2;
        } else {
            out.push_back(rest[i]);
        }
    }
    return unicode::repairUTF8(out);
}

std::optional<std::string> role(const Element& el) { return string(el, pf::AX_ROLE); }

}  // namespace

Element element(const Element& el, std::string_view attribute) {
    auto v = read(el, attribute);
    if (!v) return nullptr;
    if (const auto* e = std::get_if<pf::AXElementRef>(&*v)) return *e;
    return nullptr;
}

std::optional<std::string> string(const Element& el, std::string_view attribute) {
    auto v = read(el, attribute);
    if (!v) return std::nullopt;
    if (const auto* s = std::get_if<std::string>(&*v)) return unicode::repairUTF8(*s);
    if (const auto* a = std::get_if<pf::AXAttributedString>(&*v)) return unicode::repairUTF8(a->text);
    return std::nullopt;
}

std::optional<std::int64_t> number(const Element& el, std::string_view attribute) {
    auto v = read(el, attribute);
    if (!v) return std::nullopt;
    if (const auto* i = std::get_if<std::int64_t>(&*v)) return *i;
    if (const auto* d = std::get_if<double>(&*v)) {
        if (!std::isfinite(*d) || std::fabs(*d) >= 9.2e18) return std::nullopt;
        return static_cast<std::int64_t>(*d);
    }
    return std::nullopt;
}

std::optional<UTF16Range> range(const Element& el, std::string_view attribute) {
    auto v = read(el, attribute);
    if (!v) return std::nullopt;
    if (const auto* r = std::get_if<pf::AXRange>(&*v)) return UTF16Range{r->location, r->length};
    return std::nullopt;
}

std::optional<std::string> url(const Element& el, std::string_view attribute) {
    auto v = read(el, attribute);
    if (!v) return std::nullopt;
    if (const auto* u = std::get_if<pf::AXURL>(&*v)) return unicode::repairUTF8(u->absolute);
    if (const auto* s = std::get_if<std::string>(&*v)) return unicode::repairUTF8(*s);
    return std::nullopt;
}

std::optional<std::string> document(const Element& el) {
    auto v = read(el, pf::AX_DOCUMENT);
    if (!v) return std::nullopt;
    if (const auto* u = std::get_if<pf::AXURL>(&*v)) return filePath(unicode::repairUTF8(u->absolute));
    if (const auto* s = std::get_if<std::string>(&*v)) {
        if (s->starts_with("/")) return s->find('\0') == std::string::npos ? std::optional(unicode::repairUTF8(*s)) : std::nullopt;
        return filePath(unicode::repairUTF8(*s));
    }
    return std::nullopt;
}

std::optional<std::string> stringForRange(const Element& el, UTF16Range r) {
    if (!el) return std::nullopt;
    auto v = el->parameterizedAttribute(pf::AX_STRING_FOR_RANGE, pf::AXValue(pf::AXRange{r.location, r.length}));
    if (!v) return std::nullopt;
    if (const auto* s = std::get_if<std::string>(&*v)) return unicode::repairUTF8(*s);
    return std::nullopt;
}

Element calcFocusedElement(std::int32_t pid) {
    pf::Accessibility* ax = pf::current().accessibility;
    if (ax == nullptr) return nullptr;
    if (auto e = element(ax->systemWide(), pf::AX_FOCUSED_UI_ELEMENT)) return e;
    Element app = ax->application(pid);
    if (auto e = element(app, pf::AX_FOCUSED_UI_ELEMENT)) return e;
    if (app) app->setAttribute(MANUAL, pf::AXValue(true));
    return element(app, pf::AX_FOCUSED_UI_ELEMENT);
}

bool isSecure(const Element& el) {
    Element cur = el;
    for (int i = 0; i < 3 && cur; ++i) {
        if (role(cur) == pf::AX_ROLE_SECURE_TEXT_FIELD) return true;
        if (string(cur, pf::AX_SUBROLE) == pf::AX_ROLE_SECURE_TEXT_FIELD) return true;
        cur = element(cur, pf::AX_PARENT);
    }
    return false;
}

Element calcEditable(const Element& from) {
    Element cur = from;
    for (int i = 0; i < 8 && cur; ++i) {
        if (role(cur) == pf::AX_ROLE_WEB_AREA) return nullptr;
        if (cur->isSettable(pf::AX_VALUE) || cur->isSettable(pf::AX_SELECTED_TEXT) ||
            cur->isSettable(pf::AX_SELECTED_TEXT_RANGE)) {
            if (role(cur) != pf::AX_ROLE_SECURE_TEXT_FIELD) return cur;
        }
        cur = element(cur, pf::AX_PARENT);
    }
    return nullptr;
}

std::optional<std::string> calcWebURL(const Element& from) {
    Element cur = from;
    for (int i = 0; i < 40 && cur; ++i) {
        if (role(cur) == pf::AX_ROLE_WEB_AREA) {
            if (auto u = url(cur, pf::AX_URL)) return u;
        }
        cur = element(cur, pf::AX_PARENT);
    }
    return std::nullopt;
}

std::optional<FieldText> calcFieldText(const Element& el) {
    if (auto v = string(el, pf::AX_VALUE)) return FieldText{*v, 0, true};
    if (auto n = number(el, pf::AX_NUMBER_OF_CHARACTERS); n && *n > 0) {
        if (auto s = stringForRange(el, UTF16Range{0, *n})) return FieldText{*s, 0, true};
    }
    if (auto r = range(el, pf::AX_VISIBLE_CHARACTER_RANGE); r && r->length > 0) {
        if (auto s = stringForRange(el, *r)) return FieldText{*s, r->location, false};
    }
    return std::nullopt;
}

std::optional<pf::Rect> calcCaretRect(const Element& el) {
    auto sel = range(el, pf::AX_SELECTED_TEXT_RANGE);
    if (!sel) return std::nullopt;
    auto v = el->parameterizedAttribute(pf::AX_BOUNDS_FOR_RANGE, pf::AXValue(pf::AXRange{sel->location, sel->length}));
    if (!v) return std::nullopt;
    const auto* rect = std::get_if<pf::Rect>(&*v);
    if (rect == nullptr || rect->isNull()) return std::nullopt;
    if (std::isnan(rect->width) || rect->width >= 5000) return std::nullopt;
    return *rect;
}

std::optional<pf::Rect> calcFrame(const Element& el) {
    auto pos = read(el, pf::AX_POSITION);
    auto size = read(el, pf::AX_SIZE);
    if (!pos || !size) return std::nullopt;
    const auto* p = std::get_if<pf::Point>(&*pos);
    const auto* s = std::get_if<pf::Size>(&*size);
    if (p == nullptr || s == nullptr) return std::nullopt;
    return pf::Rect{p->x, p->y, s->width, s->height};
}

}  // namespace talkweft::AX
