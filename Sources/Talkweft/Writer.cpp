#include "Talkweft/Writer.hpp"

#include <limits>

#include "Platform/Platform.hpp"
#include "Talkweft/AX.hpp"
#include "Talkweft/Clipboard.hpp"
#include "Talkweft/Log.hpp"
#include "TalkweftCore/TextOps.hpp"
#include "Unicode/Unicode.hpp"

namespace talkweft {

namespace pf = talkweft::platform;

namespace {

constexpr double SELECT_SETTLE_SECONDS = 0.04;
constexpr double POLL_SECONDS = 0.03;
constexpr int POLLS = 15;

}  // namespace

std::string PasteWriter::normalizeForCompare(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\xC2' && i + 1 < text.size() && text[i + 1] == '\xA0') {
            out.push_back(' ');
            ++i;
        } else if (text[i] == '\r') {
            out.push_back('\n');
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

bool PasteWriter::paste(const std::string& text) { return Clipboard::paste(text); }

bool PasteWriter::waitForChange(const pf::AXElementRef& element, const std::string& before) {
    pf::MainLoop& loop = *pf::current().loop;
    for (int i = 0; i < POLLS; ++i) {
        loop.sleepFor(pf::seconds(POLL_SECONDS));
        auto now = AX::calcFieldText(element);
        if (!now) return false;
        if (!unicode::canonicallyEqual(now->text, before)) return true;
    }
    return false;
}

bool PasteWriter::replace(const TextEdit& edit, const pf::AXElementRef& element) {
    auto field = AX::calcFieldText(element);
    if (!field) return false;
    const std::int64_t caret = AX::range(element, pf::AX_SELECTED_TEXT_RANGE).value_or(UTF16Range{}).location;
    // Offsets come from the other app: keep the arithmetic defined for any values it reports.
    std::int64_t origin = 0;
    if (__builtin_sub_overflow(caret, field->base, &origin)) {
        origin = caret < 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
    }
    auto found = calcEditRange(field->text, edit.find, origin);
    if (!found) {
        Log::write("replace: find text not in field");
        return false;
    }
    element->setAttribute(pf::AX_FOCUSED, pf::AXValue(true));
    pf::AXRange selection{0, found->length};
    if (__builtin_add_overflow(field->base, found->location, &selection.location) ||
        !element->setAttribute(pf::AX_SELECTED_TEXT_RANGE, pf::AXValue(selection))) {
        Log::write("replace: couldn't set selection");
        return false;
    }
    pf::current().loop->sleepFor(pf::seconds(SELECT_SETTLE_SECONDS));
    const std::string selected = AX::string(element, pf::AX_SELECTED_TEXT).value_or("");
    if (!unicode::canonicallyEqual(normalizeForCompare(selected), normalizeForCompare(edit.find))) {
        std::string line = "replace: selection mismatch (";
        line.append(std::to_string(unicode::characterCount(selected)));
        line.append(" vs ");
        line.append(std::to_string(unicode::characterCount(edit.find)));
        line.append(" chars)");
        Log::write(line);
        return false;
    }
    if (!Clipboard::paste(edit.replace)) {
        Log::write("replace: paste keystroke failed");
        return false;
    }
    // A paste lands asynchronously: a slow app may show it only after the polls, so an unseen
    // change is logged but the pasted edit still counts as applied. A replacement that leaves the
    // text as it was cannot show a change at all.
    const auto expected = calcAppliedEdit(field->text, *found, edit.replace);
    const bool changes = !expected || !unicode::canonicallyEqual(*expected, field->text);
    if (!waitForChange(element, field->text) && changes) Log::write("replace: field did not change");
    return true;
}

}  // namespace talkweft
