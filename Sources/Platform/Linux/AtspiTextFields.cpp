#include "Platform/Linux/AtspiTextFields.hpp"

#include <algorithm>

namespace talkweft::platform::linuxdesktop::atspi {

namespace {

// The units of the app `acc` belongs to, when known.
Units unitsGuess(StatePtr state, AtspiAccessible* acc) {
    auto it = state->appUnits.find(busName(acc));
    if (it != state->appUnits.end()) return it->second;
    GError* e = nullptr;
    GFreeString toolkit(atspi_accessible_get_toolkit_name(acc, &e));
    if (e != nullptr) g_error_free(e);
    if (toolkit.s != nullptr && g_ascii_strncasecmp(toolkit.s, "qt", 2) == 0) return Units::utf16;
    return Units::codePoints;
}

std::optional<Rect> characterBox(AtspiText* text, std::int64_t offset, Call& call) {
    GError* e = nullptr;
    AtspiRect* r = atspi_text_get_character_extents(text, static_cast<gint>(offset), ATSPI_COORD_TYPE_SCREEN, &e);
    if (!call.ok(e)) {
        g_free(r);
        return std::nullopt;
    }
    auto rect = toRect(r);
    if (rect && rect->width <= 0 && rect->height <= 0) return std::nullopt;
    return rect;
}

}  // namespace

std::optional<ToolkitText> readText(StatePtr state, AtspiAccessible* acc, Call& call) {
    AtspiText* text = atspi_accessible_get_text_iface(acc);
    if (text == nullptr) return std::nullopt;
    GRef<AtspiText> holder(text);
    GError* e = nullptr;
    const int count = atspi_text_get_character_count(text, &e);
    if (!call.ok(e)) return std::nullopt;
    gchar* raw = atspi_text_get_text(text, 0, std::max(count, 0), &e);
    if (!call.ok(e)) {
        g_free(raw);
        return std::nullopt;
    }
    GFreeString s(raw);
    ToolkitText t = makeToolkitText(s.s != nullptr ? s.s : "", Units::codePoints);
    if (auto told = detectUnits(count, t)) {
        // The field tells: remember it for the app.
        t.units = *told;
        state->appUnits[busName(acc)] = t.units;
    } else {
        t.units = unitsGuess(state, acc);
    }
    return t;
}

std::optional<std::pair<std::int64_t, std::int64_t>> readSelection(AtspiAccessible* acc, Call& call) {
    AtspiText* text = atspi_accessible_get_text_iface(acc);
    if (text == nullptr) return std::nullopt;
    GRef<AtspiText> holder(text);
    GError* e = nullptr;
    const int n = atspi_text_get_n_selections(text, &e);
    if (!call.ok(e)) return std::nullopt;
    if (n > 0) {
        AtspiRange* r = atspi_text_get_selection(text, 0, &e);
        if (call.ok(e) && r != nullptr && r->start_offset >= 0 && r->end_offset >= 0) {
            std::pair<std::int64_t, std::int64_t> out{std::min(r->start_offset, r->end_offset), std::max(r->start_offset, r->end_offset)};
            g_free(r);
            return out;
        }
        g_free(r);
        if (call.skipped()) return std::nullopt;
    }
    const int caret = atspi_text_get_caret_offset(text, &e);
    if (!call.ok(e) || caret < 0) return std::nullopt;
    return std::pair<std::int64_t, std::int64_t>{caret, caret};
}

bool selectRange(AtspiAccessible* acc, std::int64_t start, std::int64_t end, Call& call) {
    GRef<AtspiText> text(atspi_accessible_get_text_iface(acc));
    if (!text) return false;
    GError* e = nullptr;
    const int n = atspi_text_get_n_selections(text.get(), &e);
    if (!call.ok(e)) return false;
    if (start == end) {
        for (int i = 0; i < n; ++i) {
            atspi_text_remove_selection(text.get(), 0, &e);
            if (!call.ok(e) && call.skipped()) return false;
        }
        const bool done = atspi_text_set_caret_offset(text.get(), static_cast<gint>(start), &e);
        return call.ok(e) && done;
    }
    const auto a = static_cast<gint>(start), b = static_cast<gint>(end);
    bool done = n > 0 ? atspi_text_set_selection(text.get(), 0, a, b, &e) : atspi_text_add_selection(text.get(), a, b, &e);
    if (!call.ok(e)) done = false;
    if (!done && !call.skipped()) {
        // Some fields take only the other of the two calls.
        done = n > 0 ? atspi_text_add_selection(text.get(), a, b, &e) : atspi_text_set_selection(text.get(), 0, a, b, &e);
        if (!call.ok(e)) done = false;
    }
    return done;
}

std::optional<Rect> toRect(AtspiRect* r) {
    if (r == nullptr) return std::nullopt;
    Rect out{static_cast<double>(r->x), static_cast<double>(r->y), static_cast<double>(r->width), static_cast<double>(r->height)};
    g_free(r);
    return out;
}

std::optional<Rect> rangeBounds(const ToolkitText& t, AtspiAccessible* acc, AXRange range, Call& call) {
    if (range.location < 0 || range.length < 0 || range.location > static_cast<std::int64_t>(t.utf16Length) ||
        range.length > static_cast<std::int64_t>(t.utf16Length) - range.location)
        return std::nullopt;
    const auto start = t.fromUTF16(range.location);
    const auto end = t.fromUTF16(range.location + range.length);
    if (!start || !end || t.length() == 0) return std::nullopt;
    AtspiText* text = atspi_accessible_get_text_iface(acc);
    if (text == nullptr) return std::nullopt;
    GRef<AtspiText> holder(text);
    if (*start == *end) {
        if (*start < t.length()) {
            auto box = characterBox(text, *start, call);
            if (box) box->width = 0;
            return box;
        }
        auto last = characterBox(text, t.length() - 1, call);  // the caret after the last character
        if (last) last = Rect{last->x + last->width, last->y, 0, last->height};
        return last;
    }
    GError* e = nullptr;
    AtspiRect* r = atspi_text_get_range_extents(text, static_cast<gint>(*start), static_cast<gint>(*end), ATSPI_COORD_TYPE_SCREEN, &e);
    if (call.ok(e)) {
        auto rect = toRect(r);
        if (rect && rect->width > 0 && rect->height > 0) return rect;
    } else {
        g_free(r);
        if (call.skipped()) return std::nullopt;
    }
    // Some toolkits answer no range extents: join the first and the last character's boxes.
    auto first = characterBox(text, *start, call);
    auto last = characterBox(text, *end - 1, call);
    if (!first || !last) return std::nullopt;
    const double x0 = std::min(first->x, last->x), y0 = std::min(first->y, last->y);
    const double x1 = std::max(first->x + first->width, last->x + last->width);
    const double y1 = std::max(first->y + first->height, last->y + last->height);
    return Rect{x0, y0, x1 - x0, y1 - y0};
}

}  // namespace talkweft::platform::linuxdesktop::atspi
