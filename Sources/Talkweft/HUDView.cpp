#include "Talkweft/HUDView.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

#include <utf8proc.h>

namespace talkweft {

using platform::PanelContent;
using platform::TextRun;

namespace {

bool validUTF8(std::string_view s) {
    auto p = reinterpret_cast<const utf8proc_uint8_t*>(s.data());
    utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(s.size());
    while (left > 0) {
        utf8proc_int32_t cp;
        utf8proc_ssize_t n = utf8proc_iterate(p, left, &cp);
        if (n < 0) return false;
        p += n;
        left -= n;
    }
    return true;
}

bool isPunct(char c) { return c > 32 && c < 127 && !std::isalnum(static_cast<unsigned char>(c)); }
bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

struct Style {
    bool bold = false, italic = false;
    std::string link;
};

// Emphasis and links nested deeper than this stay as they are written: the parser recurses once per
// level, and a reply of thousands of nested markers must not exhaust the stack.
constexpr int MAX_NESTING = 32;

class Parser {
public:
    std::vector<TextRun> runs;

    void parse(std::string_view s, const Style& style, int depth = 0) {
        if (depth > MAX_NESTING) {
            if (!s.empty()) emit(std::string(s), style, false);
            return;
        }
        std::string plain;
        auto flush = [&] {
            if (!plain.empty()) emit(plain, style, false);
            plain.clear();
        };
        std::size_t i = 0;
        while (i < s.size()) {
            char c = s[i];
            if (c == '\\' && i + 1 < s.size() && isPunct(s[i + 1])) {
                plain += s[i + 1];
                i += 2;
                continue;
            }
            if (c == '`') {
                std::size_t run = s.find_first_not_of('`', i) - i;
                if (run > s.size()) run = s.size() - i;
                std::string fence(run, '`');
                std::size_t close = s.find(fence, i + run);
                while (close != std::string_view::npos && close + run < s.size() && s[close + run] == '`')
                    close = s.find(fence, s.find_first_not_of('`', close));
                if (close != std::string_view::npos) {
                    flush();
                    std::string code(s.substr(i + run, close - i - run));
                    if (code.size() >= 2 && code.front() == ' ' && code.back() == ' ' &&
                        code.find_first_not_of(' ') != std::string::npos)
                        code = code.substr(1, code.size() - 2);
                    emit(code, style, true);
                    i = close + run;
                    continue;
                }
                plain += fence;
                i += run;
                continue;
            }
            if (c == '[') {
                std::size_t close = findClosingBracket(s, i);
                if (close != std::string_view::npos && close + 1 < s.size() && s[close + 1] == '(') {
                    std::size_t end = s.find(')', close + 2);
                    if (end != std::string_view::npos) {
                        std::string_view target = s.substr(close + 2, end - close - 2);
                        if (target.find_first_of(" \n") == std::string_view::npos) {
                            flush();
                            Style inner = style;
                            inner.link = std::string(target);
                            parse(s.substr(i + 1, close - i - 1), inner, depth + 1);
                            i = end + 1;
                            continue;
                        }
                    }
                }
            }
            if (c == '*' || c == '_') {
                std::size_t run = std::min<std::size_t>(s.find_first_not_of(c, i) == std::string_view::npos
                                                            ? s.size() - i
                                                            : s.find_first_not_of(c, i) - i,
                                                        3);
                bool leftFlanking = i + run < s.size() && !isSpace(s[i + run]);
                bool wordInside = c == '_' && i > 0 && std::isalnum(static_cast<unsigned char>(s[i - 1]));
                if (leftFlanking && !wordInside) {
                    std::size_t take = run >= 2 ? 2 : 1;
                    std::size_t close = findCloser(s, i + take, c, take);
                    if (close == std::string_view::npos && take == 2) {
                        take = 1;
                        close = findCloser(s, i + 1, c, 1);
                    }
                    if (close != std::string_view::npos) {
                        flush();
                        Style inner = style;
                        (take == 2 ? inner.bold : inner.italic) = true;
                        parse(s.substr(i + take, close - i - take), inner, depth + 1);
                        i = close + take;
                        continue;
                    }
                }
                plain.append(run, c);
                i += run;
                continue;
            }
            plain += c;
            ++i;
        }
        flush();
    }

private:
    void emit(const std::string& text, const Style& style, bool code) {
        TextRun run{text, style.bold, style.italic, code, style.link};
        if (!runs.empty()) {
            TextRun& last = runs.back();
            if (last.bold == run.bold && last.italic == run.italic && last.monospace == run.monospace &&
                last.link == run.link) {
                last.text += text;
                return;
            }
        }
        runs.push_back(std::move(run));
    }

    static std::size_t findClosingBracket(std::string_view s, std::size_t open) {
        int depth = 0;
        for (std::size_t j = open; j < s.size(); ++j) {
            if (s[j] == '\\') { ++j; continue; }
            if (s[j] == '[') ++depth;
            if (s[j] == ']' && --depth == 0) return j;
        }
        return std::string_view::npos;
    }

    // A closing run of exactly `n` delimiters `c` preceded by a non-space, skipping code spans.
    static std::size_t findCloser(std::string_view s, std::size_t from, char c, std::size_t n) {
        for (std::size_t j = from; j < s.size(); ++j) {
            if (s[j] == '\\') { ++j; continue; }
            if (s[j] == '`') {
                std::size_t end = s.find('`', j + 1);
                if (end != std::string_view::npos) j = end;
                continue;
            }
            if (s[j] != c) continue;
            std::size_t run = 0;
            while (j + run < s.size() && s[j + run] == c) ++run;
            bool rightFlanking = j > from && !isSpace(s[j - 1]);
            bool wordAfter = c == '_' && j + run < s.size() && std::isalnum(static_cast<unsigned char>(s[j + run]));
            if (rightFlanking && !wordAfter && run >= n) return j + (run - n);
            j += run - 1;
        }
        return std::string_view::npos;
    }
};

std::string iconTint(Mode m) { return m == Mode::agent ? "purple" : "secondary"; }

}  // namespace

std::optional<std::vector<TextRun>> parseInlineMarkdown(std::string_view text) {
    if (!validUTF8(text) || text.size() > MAX_MARKDOWN_BYTES) return std::nullopt;
    Parser p;
    p.parse(text, Style{});
    return p.runs;
}

std::vector<TextRun> calcReplyText(std::string_view text) {
    if (auto runs = parseInlineMarkdown(text)) return *runs;
    return {TextRun{std::string(text), false, false, false, {}}};
}

double calcTextHeight(platform::Panel& panel, const std::vector<TextRun>& runs, double width) {
    return std::ceil(panel.textHeight(runs, width)) + 4 + 2;
}

double calcReplyLimit(platform::Panel& panel) {
    platform::Screen main;
    if (!panel.mainScreen(main)) return 480;
    return std::max(main.visibleFrame.height * 0.6, 160.0);
}

PanelContent calcPanelContent(const HUDState& state, platform::TimePoint now, platform::Panel& panel) {
    PanelContent c;
    switch (state.kind) {
        case HUDState::Kind::listening:
            c.kind = PanelContent::Kind::row;
            c.pulsing = true;
            if (state.mode == Mode::dictate) {
                c.icon = "mic.fill";
                c.tint = "green";
                c.text = state.scoped ? "Listening… (replaces the selection)" : "Listening…";
            } else {
                c.icon = "sparkles";
                c.tint = "purple";
                c.text = state.scoped ? "Listening… (applies to the selection)" : "Listening for an instruction…";
            }
            break;
        case HUDState::Kind::transcribing:
            c.kind = PanelContent::Kind::row;
            c.icon = "waveform";
            c.tint = iconTint(state.mode);
            c.pulsing = true;
            c.text = "Transcribing…";
            break;
        case HUDState::Kind::thinking: {
            auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - state.start).count();
            c.kind = PanelContent::Kind::thinking;
            c.icon = "sparkles";
            c.tint = "purple";
            c.pulsing = true;
            c.text = "Working… " + std::to_string(std::max<long long>(elapsed, 0)) + "s · Esc cancels";
            c.detail = "“" + state.text + "”";
            break;
        }
        case HUDState::Kind::reply:
        case HUDState::Kind::error:
            c.kind = PanelContent::Kind::message;
            c.icon = state.kind == HUDState::Kind::reply ? "sparkles" : "exclamationmark.triangle.fill";
            c.tint = state.kind == HUDState::Kind::reply ? "purple" : "orange";
            c.message = calcReplyText(state.text);
            c.messageWidth = REPLY_WIDTH;
            c.messageHeight = std::min(calcTextHeight(panel, c.message, REPLY_WIDTH), calcReplyLimit(panel));
            break;
        case HUDState::Kind::note:
            c.kind = PanelContent::Kind::row;
            c.icon = "checkmark.circle.fill";
            c.tint = "green";
            c.text = state.text;
            break;
        case HUDState::Kind::hidden:
            break;
    }
    return c;
}

}  // namespace talkweft
