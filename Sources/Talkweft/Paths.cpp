#include "Talkweft/Paths.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace talkweft {

namespace fs = std::filesystem;

namespace {

std::optional<std::string> realEnv(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr) return std::nullopt;
    return std::string(v);
}

// An override variable: any non-empty value.
std::optional<fs::path> overrideDir(const EnvLookup& env, const char* name) {
    auto v = env(name);
    if (!v || v->empty()) return std::nullopt;
    return fs::path(*v);
}

// An XDG variable: only absolute paths count.
std::optional<fs::path> xdgDir(const EnvLookup& env, const char* name) {
    auto v = env(name);
    if (!v || v->empty() || (*v)[0] != '/') return std::nullopt;
    return fs::path(*v);
}

fs::path calcHome() {
    if (auto h = realEnv("HOME"); h && !h->empty()) return fs::path(*h);
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) return fs::path(pw->pw_dir);
    return fs::path("/");
}

const Folders& folders() {
    static const Folders f = calcFolders(realEnv, Paths::home(), static_cast<unsigned>(getuid()));
    return f;
}

}  // namespace

Folders calcFolders(const EnvLookup& env, const fs::path& home, unsigned uid) {
    Folders f;
    f.support = overrideDir(env, "TALKWEFT_SUPPORT_DIR")
                    .value_or(xdgDir(env, "XDG_DATA_HOME").value_or(home / ".local/share") / "talkweft");
    f.history = f.support / "History";
    f.models = f.support / "Models" / "zadezariro";
    f.work = f.support / "Work";
    fs::path logDir = overrideDir(env, "TALKWEFT_LOG_DIR")
                          .value_or(xdgDir(env, "XDG_STATE_HOME").value_or(home / ".local/state") / "talkweft");
    f.logFile = logDir / "talkweft.log";
    fs::path configDir = overrideDir(env, "TALKWEFT_CONFIG_DIR")
                             .value_or(xdgDir(env, "XDG_CONFIG_HOME").value_or(home / ".config") / "talkweft");
    f.defaultsFile = configDir / "defaults.json";
    if (auto shots = overrideDir(env, "TALKWEFT_SCREENSHOTS_DIR")) {
        f.screenshots = *shots;
    } else if (auto runtime = xdgDir(env, "XDG_RUNTIME_DIR")) {
        f.screenshots = *runtime / "talkweft" / "screenshots";
    } else {
        fs::path tmp = xdgDir(env, "TMPDIR").value_or("/tmp");
        f.screenshots = tmp / ("talkweft-" + std::to_string(uid)) / "screenshots";
    }
    return f;
}

namespace Paths {

const fs::path& home() {
    static const fs::path h = calcHome();
    return h;
}

const fs::path& support() {
    static const fs::path p = [] {
        std::error_code ec;
        fs::create_directories(folders().support, ec);
        return folders().support;
    }();
    return p;
}

const fs::path& history() {
    static const fs::path p = (support(), folders().history);
    return p;
}

const fs::path& models() {
    static const fs::path p = (support(), folders().models);
    return p;
}

const fs::path& work() {
    static const fs::path p = (support(), folders().work);
    return p;
}

const fs::path& screenshots() { return folders().screenshots; }

const fs::path& defaultsFile() { return folders().defaultsFile; }

const fs::path& logFile() { return folders().logFile; }

}  // namespace Paths

fs::path calcWorkDir(const std::optional<std::string>& documentPath, const std::optional<fs::path>& historyDir) {
    std::error_code ec;
    if (documentPath && !documentPath->empty()) {
        fs::path doc = fs::path(*documentPath).lexically_normal();
        if (!doc.has_filename() && doc.has_relative_path()) doc = doc.parent_path();  // "a/b/" names "b"
        const fs::path dir = doc.parent_path();
        for (fs::path cur = dir; !cur.empty() && cur != cur.root_path(); cur = cur.parent_path()) {
            if (fs::exists(fs::symlink_status(cur / ".git", ec))) return cur;
        }
        if (!dir.empty() && fs::is_directory(dir, ec)) return dir;
    }
    if (historyDir && fs::is_directory(*historyDir, ec)) return *historyDir;
    fs::create_directories(Paths::work(), ec);
    return Paths::work();
}

}  // namespace talkweft
