#include "Platform/Linux/MimeApps.hpp"

#include <optional>

namespace talkweft::platform::linuxdesktop {

namespace mimeapps {

// One line of the file: its bytes from `start`, `length` without the line break; `ended` when a
// line break follows.
struct Line {
    std::size_t start = 0, length = 0;
    bool ended = false;
};

std::vector<Line> splitLines(std::string_view text) {
    std::vector<Line> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) {
            lines.push_back({at, text.size() - at, false});
            break;
        }
        lines.push_back({at, end - at, true});
        at = end + 1;
    }
    return lines;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool isHeader(std::string_view line) { return !trim(line).empty() && trim(line).front() == '['; }

// Where the first [Default Applications] group is: its header's line and the line after its last
// line (the next header or the end).
struct Group {
    std::size_t header = 0, end = 0;
};

std::optional<Group> findGroup(std::string_view text, const std::vector<Line>& lines) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (trim(text.substr(lines[i].start, lines[i].length)) != DEFAULT_APPLICATIONS_GROUP) continue;
        std::size_t end = i + 1;
        while (end < lines.size() && !isHeader(text.substr(lines[end].start, lines[end].length))) ++end;
        return Group{i, end};
    }
    return std::nullopt;
}

// The first line of `group` whose key is `mimeType`, and where its value starts in the text.
struct KeyLine {
    std::size_t index = 0, valueStart = 0;
};

std::optional<KeyLine> findKey(std::string_view text, const std::vector<Line>& lines, const Group& group,
                               std::string_view mimeType) {
    for (std::size_t i = group.header + 1; i < group.end; ++i) {
        const std::string_view line = text.substr(lines[i].start, lines[i].length);
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos || trim(line).front() == '#') continue;
        if (trim(line.substr(0, eq)) != mimeType) continue;
        std::size_t value = eq + 1;
        while (value < line.size() && (line[value] == ' ' || line[value] == '\t')) ++value;
        return KeyLine{i, lines[i].start + value};
    }
    return std::nullopt;
}

// The text without line `i`: its line break goes with it, or, for a last line without one, the
// break before it.
std::string withoutLine(std::string_view text, const std::vector<Line>& lines, std::size_t i) {
    std::size_t from = lines[i].start, to = lines[i].start + lines[i].length;
    if (lines[i].ended)
        ++to;
    else if (from > 0)
        --from;
    return std::string(text.substr(0, from)) + std::string(text.substr(to));
}

// The text with `line` (no line break) inserted after line `i`, or at the start when `i` is none.
std::string withLineAfter(std::string_view text, const std::vector<Line>& lines, std::size_t i, std::string_view line) {
    const Line& after = lines[i];
    const std::size_t at = after.start + after.length + (after.ended ? 1 : 0);
    std::string out(text.substr(0, at));
    if (!after.ended) out += '\n';
    out.append(line);
    if (after.ended) out += '\n';
    return out.append(text.substr(at));
}

}  // namespace mimeapps

std::vector<std::string> readDefaultApplications(std::string_view text, std::string_view mimeType) {
    const auto lines = mimeapps::splitLines(text);
    const auto group = mimeapps::findGroup(text, lines);
    if (!group) return {};
    const auto key = mimeapps::findKey(text, lines, *group, mimeType);
    if (!key) return {};
    const auto& line = lines[key->index];
    std::string_view value = text.substr(key->valueStart, line.start + line.length - key->valueStart);
    std::vector<std::string> apps;
    while (!value.empty()) {
        const std::size_t semi = value.find(';');
        const std::string_view entry = mimeapps::trim(value.substr(0, semi));
        if (!entry.empty()) apps.emplace_back(entry);
        if (semi == std::string_view::npos) break;
        value.remove_prefix(semi + 1);
    }
    return apps;
}

MimeAppsEdit addDefaultApplication(std::string_view text, std::string_view mimeType, std::string_view desktopID) {
    MimeAppsEdit edit{std::string(text), false, false};
    const std::string entry = std::string(mimeType) + "=" + std::string(desktopID) + ";";
    const auto lines = mimeapps::splitLines(text);
    const auto group = mimeapps::findGroup(text, lines);
    if (!group) {
        std::string added = std::string(DEFAULT_APPLICATIONS_GROUP) + "\n" + entry;
        // A text without a final line break gets one before the group and none after it, so taking
        // the lines out again gives the same bytes back.
        edit.text += text.empty() || text.back() == '\n' ? added + "\n" : "\n" + added;
        edit.changed = edit.addedGroup = true;
        return edit;
    }
    const auto key = mimeapps::findKey(text, lines, *group, mimeType);
    if (!key) {
        edit.text = mimeapps::withLineAfter(text, lines, group->header, entry);
        edit.changed = true;
        return edit;
    }
    const auto current = readDefaultApplications(text, mimeType);
    if (!current.empty() && current.front() == desktopID) return edit;
    edit.text.insert(key->valueStart, std::string(desktopID) + ";");
    edit.changed = true;
    return edit;
}

MimeAppsEdit removeDefaultApplication(std::string_view text, std::string_view mimeType, std::string_view desktopID,
                                      bool removeEmptyGroup) {
    MimeAppsEdit edit{std::string(text), false, false};
    auto lines = mimeapps::splitLines(text);
    auto group = mimeapps::findGroup(text, lines);
    if (!group) return edit;
    if (const auto key = mimeapps::findKey(text, lines, *group, mimeType)) {
        const auto& line = lines[key->index];
        const std::string_view value = text.substr(key->valueStart, line.start + line.length - key->valueStart);
        const std::string ours = std::string(desktopID) + ";";
        std::optional<std::string_view> rest;
        if (value.starts_with(ours))
            rest = value.substr(ours.size());
        else if (mimeapps::trim(value) == desktopID)
            rest = std::string_view{};
        if (rest) {
            if (mimeapps::trim(*rest).empty())
                edit.text = mimeapps::withoutLine(text, lines, key->index);
            else
                edit.text.erase(key->valueStart, value.size() - rest->size());
            edit.changed = true;
        }
    }
    if (removeEmptyGroup) {
        lines = mimeapps::splitLines(edit.text);
        group = mimeapps::findGroup(edit.text, lines);
        if (group && group->end == group->header + 1) {
            edit.text = mimeapps::withoutLine(edit.text, lines, group->header);
            edit.changed = true;
        }
    }
    return edit;
}

}  // namespace talkweft::platform::linuxdesktop
