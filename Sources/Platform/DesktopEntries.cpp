#include "Platform/DesktopEntries.hpp"

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace talkweft::platform {

namespace fs = std::filesystem;

namespace {

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

std::string unescapeValue(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        switch (s[++i]) {
            case 's': out += ' '; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case '\\': out += '\\'; break;
            default: out += '\\'; out += s[i]; break;  // not an escape: kept as written
        }
    }
    return out;
}

// Desktop files are small; a larger file is not one and is not read.
constexpr std::uintmax_t MAX_DESKTOP_FILE_BYTES = 1 << 20;

std::optional<std::string> readSmallFile(const fs::path& file) {
    std::error_code ec;
    auto size = fs::file_size(file, ec);
    if (ec || size > MAX_DESKTOP_FILE_BYTES) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::optional<std::vector<DesktopEntryKey>> readDesktopEntryKeys(std::string_view text) {
    std::vector<DesktopEntryKey> keys;
    bool inMain = false, sawMain = false;
    while (!text.empty()) {
        auto end = text.find('\n');
        std::string_view line = trimBlanks(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            // Only the first [Desktop Entry] group counts; a repeated one is ignored.
            inMain = line == "[Desktop Entry]" && !sawMain;
            sawMain = sawMain || inMain;
            continue;
        }
        if (!inMain) continue;
        auto eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        keys.push_back({std::string(trimBlanks(line.substr(0, eq))), unescapeValue(trimBlanks(line.substr(eq + 1)))});
    }
    if (!sawMain) return std::nullopt;
    return keys;
}

std::optional<DesktopEntry> parseDesktopEntry(std::string_view text, std::string id) {
    auto keys = readDesktopEntryKeys(text);
    if (!keys) return std::nullopt;
    DesktopEntry entry;
    entry.id = std::move(id);
    bool sawName = false;
    for (auto& [key, value] : *keys) {
        if (key == "Name" && !sawName) {
            entry.name = value;
            sawName = true;
        } else if (key == "StartupWMClass") {
            entry.startupWMClass = value;
        } else if (key == "Type") {
            entry.application = value == "Application";
        } else if (key == "NoDisplay") {
            entry.noDisplay = value == "true";
        } else if (key == "Hidden") {
            entry.hidden = value == "true";
        }
    }
    if (!sawName) return std::nullopt;
    return entry;
}

std::string formatDesktopEntry(const std::vector<DesktopEntryKey>& keys) {
    std::string out = "[Desktop Entry]\n";
    for (const auto& [key, value] : keys) {
        out += key;
        out += '=';
        for (std::size_t i = 0; i < value.size(); ++i) {
            const char c = value[i];
            switch (c) {
                case '\\': out += "\\\\"; break;
                case '\n': out += "\\n"; break;
                case '\t': out += "\\t"; break;
                case '\r': out += "\\r"; break;
                // Blanks at either end would be trimmed by a reader.
                case ' ': out += i == 0 || i + 1 == value.size() ? "\\s" : " "; break;
                default: out += c; break;
            }
        }
        out += '\n';
    }
    return out;
}

std::string calcDesktopEntryID(const fs::path& relative) {
    std::string id;
    for (const auto& part : relative) {
        if (!id.empty()) id += '-';
        id += part.string();
    }
    constexpr std::string_view ending = ".desktop";
    if (id.size() <= ending.size() || !id.ends_with(ending)) return "";
    id.resize(id.size() - ending.size());
    return id;
}

std::vector<fs::path> calcApplicationDirs(const EnvLookup& env, const fs::path& home) {
    std::vector<fs::path> dirs = calcXdgDataDirs(env, home);
    for (auto& dir : dirs) dir /= "applications";
    return dirs;
}

std::optional<std::vector<DesktopEntryKey>> readDesktopEntryFile(const fs::path& file) {
    auto text = readSmallFile(file);
    if (!text) return std::nullopt;
    return readDesktopEntryKeys(*text);
}

std::vector<DesktopEntry> listDesktopEntries(const std::vector<fs::path>& dirs) {
    std::map<std::string, DesktopEntry> byID;
    std::set<std::string> seen;  // ids met in an earlier folder, also those that did not parse
    for (const auto& dir : dirs) {
        std::error_code ec;
        std::vector<std::pair<std::string, fs::path>> found;
        for (auto it = fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (!it->is_regular_file(ec)) continue;
            std::string id = calcDesktopEntryID(it->path().lexically_relative(dir));
            if (!id.empty()) found.emplace_back(std::move(id), it->path());
        }
        for (auto& [id, file] : found) {
            if (!seen.insert(id).second) continue;
            auto text = readSmallFile(file);
            if (!text) continue;
            if (auto entry = parseDesktopEntry(*text, id)) byID.emplace(id, std::move(*entry));
        }
    }
    std::vector<DesktopEntry> entries;
    for (auto& [id, entry] : byID) entries.push_back(std::move(entry));
    auto folded = [](const std::string& s) {
        std::string out = s;
        for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return out;
    };
    std::stable_sort(entries.begin(), entries.end(), [&](const DesktopEntry& a, const DesktopEntry& b) {
        auto fa = folded(a.name), fb = folded(b.name);
        return fa != fb ? fa < fb : a.id < b.id;
    });
    return entries;
}

std::vector<DesktopEntry> listPickableApps(const std::vector<fs::path>& dirs) {
    auto entries = listDesktopEntries(dirs);
    std::erase_if(entries, [](const DesktopEntry& e) { return !e.application || e.noDisplay || e.hidden; });
    return entries;
}

std::optional<std::string> findAppName(const std::vector<fs::path>& dirs, std::string_view id) {
    if (id.empty()) return std::nullopt;
    // Looked up by file name only (no folder scan: rows are drawn on the UI thread); the few
    // entries kept in subfolders are found by the picker's listing but show their id here.
    for (const auto& dir : dirs) {
        fs::path file = dir / (std::string(id) + ".desktop");
        std::error_code ec;
        if (!fs::is_regular_file(file, ec)) continue;
        auto text = readSmallFile(file);
        if (!text) return std::nullopt;
        auto entry = parseDesktopEntry(*text, std::string(id));
        if (!entry || entry->hidden) return std::nullopt;
        return entry->name;
    }
    return std::nullopt;
}

}  // namespace talkweft::platform
