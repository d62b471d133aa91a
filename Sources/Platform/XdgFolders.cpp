#include "Platform/XdgFolders.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace talkweft::platform {

namespace fs = std::filesystem;

std::optional<std::string> processEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

fs::path processHome() {
    if (const char* h = std::getenv("HOME"); h != nullptr && h[0] == '/') return h;
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
    return "/";
}

fs::path calcXdgHome(const EnvLookup& env, const char* name, const fs::path& fallback) {
    auto value = env(name);
    if (value && !value->empty() && value->front() == '/') return fs::path(*value);
    return fallback;
}

std::vector<fs::path> calcXdgDataDirs(const EnvLookup& env, const fs::path& home) {
    std::vector<fs::path> dirs{calcXdgHome(env, "XDG_DATA_HOME", home / ".local/share")};
    auto dataDirs = env("XDG_DATA_DIRS");
    std::stringstream parts(dataDirs && !dataDirs->empty() ? *dataDirs : "/usr/local/share:/usr/share");
    for (std::string dir; std::getline(parts, dir, ':');)
        if (!dir.empty() && dir.front() == '/') dirs.emplace_back(dir);
    return dirs;
}

}  // namespace talkweft::platform
