#include "DaroriCore/UserDirs.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

namespace darori {

namespace fs = std::filesystem;

namespace {

// user-dirs.dirs is a few lines; anything past this is not read.
constexpr std::size_t MAX_USER_DIRS_BYTES = 64 * 1024;

std::string_view skipBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    return text;
}

// The path of one line `key="value"`, or absent when the line does not set `key` validly.
std::optional<fs::path> parseLine(std::string_view line, std::string_view key, const fs::path& home) {
    line = skipBlanks(line);
    if (line.substr(0, key.size()) != key) return std::nullopt;
    line = skipBlanks(line.substr(key.size()));
    if (line.empty() || line.front() != '=') return std::nullopt;
    line = skipBlanks(line.substr(1));
    if (line.empty() || line.front() != '"') return std::nullopt;
    line.remove_prefix(1);
    std::string value;
    bool closed = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') {
            closed = true;
            break;
        }
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        if (line[i] == '\0') return std::nullopt;
        value += line[i];
    }
    if (!closed) return std::nullopt;
    // Only a leading "$HOME" is expanded, and only as a whole path component.
    if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/')) {
        std::string rest = value.substr(5);
        while (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
        return rest.empty() ? home : home / rest;
    }
    if (value.empty() || value.front() != '/') return std::nullopt;
    return fs::path(value);
}

fs::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
    throw std::runtime_error("no Documents folder: neither HOME nor the password database names a home folder");
}

}  // namespace

std::optional<fs::path> userDirFromText(std::string_view text, std::string_view key, const fs::path& home) {
    std::optional<fs::path> found;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (skipBlanks(line).substr(0, 1) == "#") continue;
        if (auto dir = parseLine(line, key, home)) found = std::move(dir);
    }
    return found;
}

fs::path userDocumentsFolder() {
    const fs::path home = homeFolder();
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const fs::path config = configHome && configHome[0] == '/' ? fs::path(configHome) : home / ".config";
    if (std::ifstream in(config / "user-dirs.dirs", std::ios::binary); in) {
        std::string text(MAX_USER_DIRS_BYTES, '\0');
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<std::size_t>(in.gcount()));
        if (auto documents = userDirFromText(text, "XDG_DOCUMENTS_DIR", home)) return *documents;
    }
    if (const char* documents = std::getenv("XDG_DOCUMENTS_DIR"); documents && documents[0] == '/') return documents;
    return home / "Documents";
}

}  // namespace darori
