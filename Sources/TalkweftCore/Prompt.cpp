#include "TalkweftCore/Prompt.hpp"

#include <algorithm>
#include <limits>

#include <nlohmann/json.hpp>

#include "Unicode/Unicode.hpp"

namespace talkweft {

namespace {

constexpr std::string_view STANDING_HEADING =
    "The user's standing instructions (follow them unless the spoken instruction says otherwise):\n";
constexpr std::string_view TRUNCATED = "[\u2026truncated]";

std::string join(const std::vector<std::string>& lines, std::string_view sep) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i) out += sep;
        out += lines[i];
    }
    return out;
}

std::int64_t clampAdd(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? std::numeric_limits<std::int64_t>::max()
                                                       : std::numeric_limits<std::int64_t>::min();
    return r;
}

std::int64_t clampSub(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? std::numeric_limits<std::int64_t>::max()
                                                       : std::numeric_limits<std::int64_t>::min();
    return r;
}

// Byte offset of the boundary before character `n` (the text's size when n >= its count).
std::size_t characterOffset(std::string_view text, std::size_t n) { return unicode::prefixCharacters(text, n).size(); }

// Index of the character that holds byte `byte` (byte must lie on a code-point start).
std::size_t characterIndexAt(std::string_view text, std::size_t byte) {
    const std::size_t n = unicode::characterCount(text.substr(0, byte));
    // `byte` can lie inside a cluster that began earlier (the marker joined to a preceding character).
    if (n > 0 && characterOffset(text, n) > byte) return n - 1;
    return n;
}

}  // namespace

std::string buildSystemPrompt(bool connectors, bool writes, std::string_view standing) {
    std::vector<std::string> parts{std::string(SYSTEM_PROMPT)};
    if (connectors) {
        parts.emplace_back(CONNECTORS_PROMPT);
        if (writes) parts.emplace_back(WRITES_PROMPT);
    }
    const std::string trimmed = unicode::trimWhitespace(standing);
    if (!trimmed.empty()) parts.push_back(std::string(STANDING_HEADING) + trimmed);
    return join(parts, "\n");
}

std::string buildUserPrompt(const AgentRequest& request) {
    const AppContext& ctx = request.context;
    std::vector<std::string> lines;
    lines.push_back("Instruction: \"" + request.instruction + "\"");
    lines.emplace_back();
    lines.emplace_back("Context:");
    lines.push_back("- App: " + ctx.appName + " (" + ctx.bundleID + ")");
    lines.push_back("- Linux user: " + ctx.user);
    if (ctx.windowTitle && !ctx.windowTitle->empty()) lines.push_back("- Window: " + *ctx.windowTitle);
    if (ctx.url) lines.push_back("- URL: " + *ctx.url);
    if (ctx.documentPath)
        lines.push_back("- Document: " + *ctx.documentPath + " (the editor may hold unsaved changes)");
    if (ctx.role) lines.push_back("- Focused element: " + *ctx.role);
    if (ctx.screenshotPath)
        lines.push_back("- Screenshot of the window: " + *ctx.screenshotPath + " (read it if what's on screen matters)");
    lines.emplace_back();
    for (auto& l : buildFieldSection(ctx)) lines.push_back(std::move(l));
    lines.emplace_back();
    for (auto& l : buildHistorySection(request.history, request.historyDir)) lines.push_back(std::move(l));
    return join(lines, "\n");
}

std::vector<std::string> buildFieldSection(const AppContext& ctx) {
    if (ctx.fieldText) {
        const std::string marked = calcMarkedText(*ctx.fieldText, ctx.fieldTextBase, ctx.selection);
        std::vector<std::string> lines;
        lines.push_back(std::string("Field ") +
                        (ctx.fieldTextIsFull ? "full text" : "partial text (only part of the field was readable)") +
                        "; " + std::string(CARET) + " marks the caret, " + std::string(SEL_START) + "\u2026" +
                        std::string(SEL_END) + " the selection (markers are not part of the text):");
        lines.emplace_back("<<<");
        lines.push_back(calcClipped(marked, MAX_FIELD_CHARS));
        lines.emplace_back(">>>");
        if (ctx.selectedText && !ctx.selectedText->empty())
            lines.push_back("Selected text: \"" + *ctx.selectedText + "\"");
        return lines;
    }
    if (ctx.documentPath) {
        return {"The editor's text isn't readable, so you can't see the caret. Read " + *ctx.documentPath +
                " for the content (the saved version). Prefer \"insert\" (typed at the user's cursor); \"replace\" "
                "edits can't be applied here."};
    }
    return {"No editable text field was detected. Use \"insert\" to type at the cursor anyway, or \"reply\"."};
}

std::vector<std::string> buildHistorySection(const std::vector<HistoryEntry>& history,
                                             const std::optional<std::filesystem::path>& dir) {
    if (!dir) return {"History: not kept for this context."};
    if (history.empty()) return {"History: no earlier Talkweft edits in this context. Repo: " + dir->string()};
    std::vector<std::string> lines;
    lines.push_back("Recent Talkweft edits in this context, oldest first (git repo with full history: " +
                    dir->string() + "):");
    std::size_t number = 0;
    for (const HistoryEntry& e : history) {
        std::string line = std::to_string(++number) + ". " + formatISO8601(e.date) + " [" +
                           std::string(modeRawValue(e.mode)) + "] \"" + e.instruction + "\" \u2192 " +
                           calcEntrySummary(e);
        if (!e.external.empty()) line += " (outside the field: " + join(e.external, "; ") + ")";
        lines.push_back(std::move(line));
    }
    return lines;
}

std::string calcMarkedText(std::string_view text, std::int64_t base, const std::optional<UTF16Range>& selection) {
    if (!selection) return std::string(text);
    const auto length = static_cast<std::int64_t>(unicode::utf16Length(text));
    const std::int64_t start = std::clamp<std::int64_t>(clampSub(selection->location, base), 0, length);
    const std::int64_t end = std::clamp<std::int64_t>(clampAdd(start, selection->length), start, length);
    std::string out;
    if (start == end) {
        // A caret between the two units of a surrogate pair goes before the character.
        const std::size_t at = *unicode::byteOffset(text, static_cast<std::size_t>(start), false);
        out.reserve(text.size() + CARET.size());
        out.append(text.substr(0, at)).append(CARET).append(text.substr(at));
        return out;
    }
    // A selection bound inside a surrogate pair widens outward so the character stays whole.
    const std::size_t from = *unicode::byteOffset(text, static_cast<std::size_t>(start), false);
    const std::size_t to = *unicode::byteOffset(text, static_cast<std::size_t>(end), true);
    out.reserve(text.size() + SEL_START.size() + SEL_END.size());
    out.append(text.substr(0, from)).append(SEL_START).append(text.substr(from, to - from)).append(SEL_END);
    out.append(text.substr(to));
    return out;
}

std::string calcClipped(std::string_view text, std::int64_t limit) {
    const std::size_t cap = limit < 0 ? 0 : static_cast<std::size_t>(limit);
    const std::size_t count = unicode::characterCount(text);
    if (count <= cap) return std::string(text);
    std::size_t marker = text.find(CARET);
    if (marker == std::string_view::npos) marker = text.find(SEL_START);
    if (marker == std::string_view::npos) return unicode::prefixCharacters(text, cap) + "\n" + std::string(TRUNCATED);
    const std::size_t anchor = characterIndexAt(text, marker);
    const std::size_t half = cap / 2;
    const std::size_t first = anchor > half ? anchor - half : 0;
    const std::size_t last = std::min(count, anchor + half);
    const std::size_t from = characterOffset(text, first);
    const std::size_t to = characterOffset(text, last);
    std::string out;
    if (first > 0) out.append(TRUNCATED).append("\n");
    out.append(text.substr(from, to - from));
    if (last < count) out.append("\n").append(TRUNCATED);
    return out;
}

std::string calcEntrySummary(const HistoryEntry& entry) {
    switch (entry.action) {
        case AgentAction::insert: {
            std::string s = "inserted " + calcQuoted(entry.text.value_or(""));
            if (entry.replaced) s += " replacing " + calcQuoted(*entry.replaced);
            return s;
        }
        case AgentAction::replace: {
            std::vector<std::string> pieces;
            for (const TextEdit& e : entry.edits)
                pieces.push_back("replaced " + calcQuoted(e.find) + " with " + calcQuoted(e.replace));
            return join(pieces, "; ");
        }
        case AgentAction::reply:
            return "replied " + calcQuoted(entry.message.value_or(""));
    }
    return "";
}

std::string calcQuoted(std::string_view text) {
    // Repaired first by the shared rule, so the prompt shows the same text as the field and history.
    const std::string dumped = nlohmann::json(unicode::repairUTF8(text)).dump();
    std::string out;
    out.reserve(dumped.size());
    for (char c : dumped) {
        if (c == '/') out += '\\';
        out += c;
    }
    return out;
}

}  // namespace talkweft
