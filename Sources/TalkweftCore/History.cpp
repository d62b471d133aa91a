#include "TalkweftCore/History.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <system_error>
#include <sys/stat.h>
#include <unistd.h>

#include "TalkweftCore/AgentResult.hpp"
#include "TalkweftCore/Shell.hpp"
#include "Unicode/Unicode.hpp"

namespace fs = std::filesystem;

namespace talkweft {

namespace {

constexpr const char* COMMIT_EMAIL = "talkweft@localhost";
constexpr std::size_t SUBJECT_CHARS = 120;

// Variables that point git at another repository, index, work tree or object store, or inject
// configuration (git's own list of repository-local variables, plus the quarantine and namespace
// of a receiving repository). Git sets them for its hooks, so a Talkweft started from one would
// otherwise record into the wrong repository; every git command of the store runs without them.
const std::vector<std::string> GIT_REPOSITORY_VARIABLES = {
    "GIT_ALTERNATE_OBJECT_DIRECTORIES", "GIT_CONFIG", "GIT_CONFIG_PARAMETERS", "GIT_CONFIG_COUNT",
    "GIT_OBJECT_DIRECTORY", "GIT_DIR", "GIT_WORK_TREE", "GIT_IMPLICIT_WORK_TREE", "GIT_GRAFT_FILE",
    "GIT_INDEX_FILE", "GIT_NO_REPLACE_OBJECTS", "GIT_REPLACE_REF_BASE", "GIT_PREFIX",
    "GIT_INTERNAL_SUPER_PREFIX", "GIT_SHALLOW_FILE", "GIT_COMMON_DIR", "GIT_QUARANTINE_PATH", "GIT_NAMESPACE",
};

// One mutex per context folder, shared by every store in this process while someone holds it.
class FolderLocks {
public:
    // `dir` must be resolved, so that every spelling of one folder shares a lock.
    static std::shared_ptr<std::mutex> forFolder(const fs::path& dir) {
        static FolderLocks registry;
        const std::string& key = dir.string();
        std::lock_guard guard(registry.mutex_);
        for (auto it = registry.locksByFolder_.begin(); it != registry.locksByFolder_.end();)
            it = it->second.expired() ? registry.locksByFolder_.erase(it) : std::next(it);
        auto& weak = registry.locksByFolder_[key];
        auto lock = weak.lock();
        if (!lock) {
            lock = std::make_shared<std::mutex>();
            weak = lock;
        }
        return lock;
    }

private:
    std::mutex mutex_;
    std::map<std::string, std::weak_ptr<std::mutex>> locksByFolder_;  // guarded by mutex_
};

std::optional<std::string> readText(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(f)), {});
    if (f.bad()) return std::nullopt;
    return text;
}

[[noreturn]] void throwErrno(const std::string& what, const fs::path& path) {
    throw fs::filesystem_error(what, path, std::error_code(errno, std::generic_category()));
}

// Writes every byte, retrying short writes and interruptions; false with errno set on failure.
bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A new hidden file with a short random name in `folder` (so any name that fits the folder leaves
// room for it), with the mode the process's umask leaves of 0666; `temp` is set to its path.
int createTemporary(const fs::path& folder, std::string& temp) {
    static constexpr char LETTERS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = ".tmp-";
        for (int i = 0; i < 8; ++i) name += LETTERS[random() % (sizeof LETTERS - 1)];
        temp = (folder / name).string();
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Writes through a temporary file in the same folder and renames it over the target, so readers
// see the old or the new content, never a part. A replaced file keeps its mode; a new one gets the
// process's umask.
void writeAtomically(const fs::path& path, const std::string& bytes) {
    std::string tmpl;
    int fd = createTemporary(path.parent_path(), tmpl);
    if (fd < 0) throwErrno("cannot create a temporary file", path);
    struct stat existing {};
    const bool keepMode = ::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
    if (!writeAll(fd, bytes) || (keepMode && ::fchmod(fd, existing.st_mode & 07777) != 0)) {
        int saved = errno;
        ::close(fd);
        ::unlink(tmpl.c_str());
        errno = saved;
        throwErrno("cannot write", path);
    }
    if (::close(fd) != 0 || ::rename(tmpl.c_str(), path.c_str()) != 0) {
        int saved = errno;
        ::unlink(tmpl.c_str());
        errno = saved;
        throwErrno("cannot replace", path);
    }
}

std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

// A path with symbolic links resolved, "." and ".." removed and no trailing separator.
fs::path resolved(const fs::path& p) {
    fs::path r = fs::weakly_canonical(fs::absolute(p)).lexically_normal();
    if (r.has_parent_path() && !r.has_filename()) r = r.parent_path();
    return r;
}

bool strictlyInside(const fs::path& path, const fs::path& root) {
    std::string prefix = root.string();
    if (prefix.empty() || prefix.back() != '/') prefix += '/';
    const std::string s = path.string();
    return s.size() > prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

std::optional<ContextRecord> readRecord(const fs::path& file) {
    auto text = readText(file);
    if (!text) return std::nullopt;
    try {
        return ContextRecord::fromJSON(jsoncoding::parse(*text));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

nlohmann::json ContextRecord::toJSON() const {
    nlohmann::json j;
    j["key"] = nlohmann::json(key.toJSON());  // not through text: a broken byte in the key must not throw
    j["appName"] = appName;
    if (windowTitle) j["windowTitle"] = *windowTitle;
    if (url) j["url"] = *url;
    if (documentPath) j["documentPath"] = *documentPath;
    j["firstSeen"] = formatISO8601(firstSeen);
    j["lastSeen"] = formatISO8601(lastSeen);
    j["editCount"] = editCount;
    return j;
}

ContextRecord ContextRecord::fromJSON(const nlohmann::ordered_json& j) {
    using namespace jsoncoding;
    requireObject(j, "ContextRecord");
    ContextRecord r;
    r.key = ContextKey::fromJSON(require(j, "key"));
    r.appName = requireString(j, "appName");
    r.windowTitle = optionalString(j, "windowTitle");
    r.url = optionalString(j, "url");
    r.documentPath = optionalString(j, "documentPath");
    r.firstSeen = requireDate(j, "firstSeen");
    r.lastSeen = requireDate(j, "lastSeen");
    r.editCount = requireInt64(j, "editCount");
    return r;
}

std::string calcCommitMessage(const AppContext& ctx, const HistoryEntry& entry) {
    std::string subject = std::string(entry.mode == Mode::agent ? "agent" : "dictate") + ": " + oneLine(entry.instruction);
    std::vector<std::string> lines;
    lines.push_back(unicode::prefixCharacters(subject, SUBJECT_CHARS));
    lines.push_back("");
    lines.push_back("Action: " + std::string(agentActionRawValue(entry.action)) + (entry.applied ? "" : " (not applied)"));
    lines.push_back("App: " + ctx.appName + " (" + ctx.bundleID + ")");
    lines.push_back("User: " + ctx.user);
    if (ctx.windowTitle) lines.push_back("Window: " + *ctx.windowTitle);
    if (ctx.url) lines.push_back("URL: " + *ctx.url);
    if (ctx.documentPath) lines.push_back("Document: " + *ctx.documentPath);
    if (entry.message) lines.push_back("Message: " + oneLine(*entry.message));
    for (const auto& item : entry.external) lines.push_back("External: " + item);
    std::string message;
    for (const auto& line : lines) message += line + "\n";
    return message;
}

void appendLine(const std::string& line, const fs::path& file) {
    int fd = ::open(file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throwErrno("cannot open", file);
    // A line cut short by an earlier crash must not swallow this one.
    std::string bytes = line;
    struct stat st {};
    char last = '\n';
    if (::fstat(fd, &st) == 0 && st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
        bytes.insert(bytes.begin(), '\n');
    if (!writeAll(fd, bytes)) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        throwErrno("cannot append to", file);
    }
    ::close(fd);
}

fs::path HistoryStore::calcDir(const ContextKey& key) const { return root / key.relativePath(); }

void HistoryStore::git(const fs::path& dir, const std::vector<std::string>& args,
                       const std::optional<std::string>& stdinText) const {
    ShellResult r = runShell(GIT, args, dir.string(), stdinText, SHELL_TIMEOUT_SECONDS, GIT_REPOSITORY_VARIABLES);
    if (r.status != 0) throw AgentError::failed("git " + (args.empty() ? std::string() : args[0]) + ": " + r.err);
}

void HistoryStore::ensureRepo(const fs::path& dir) const {
    if (fs::exists(dir / ".git")) return;
    fs::create_directories(dir);
    git(dir, {"init", "-q"});
    git(dir, {"config", "user.name", "Talkweft"});
    git(dir, {"config", "user.email", COMMIT_EMAIL});
    git(dir, {"config", "commit.gpgsign", "false"});
}

void HistoryStore::writeRecord(const fs::path& dir, const AppContext& ctx, const ContextKey& key, bool bump) const {
    auto previous = readRecord(dir / "context.json");
    ContextRecord r;
    r.key = key;
    r.appName = ctx.appName;
    r.windowTitle = ctx.windowTitle;
    r.url = ctx.url;
    r.documentPath = ctx.documentPath;
    r.firstSeen = previous ? previous->firstSeen : ctx.capturedAt;
    r.lastSeen = std::chrono::system_clock::now();
    r.editCount = previous ? previous->editCount : 0;
    if (bump && r.editCount < std::numeric_limits<std::int64_t>::max()) ++r.editCount;  // a damaged count must not overflow
    writeAtomically(dir / "context.json", r.toJSON().dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
}

void HistoryStore::record(const AppContext& ctx, const HistoryEntry& entry, const std::optional<std::string>& before,
                          const std::optional<std::string>& after) const {
    const ContextKey key = calcContextKey(ctx);
    const fs::path dir = calcDir(key);
    auto folderLock = FolderLocks::forFolder(resolved(dir));
    std::lock_guard guard(*folderLock);

    ensureRepo(dir);
    const fs::path textFile = dir / "text.txt";
    if (before) {
        auto stored = readText(textFile);
        std::optional<std::string> message;
        if (!stored) message = "observe: initial field text";
        else if (!unicode::canonicallyEqual(*stored, *before)) message = "observe: field changed outside Talkweft";
        if (message) {
            writeAtomically(textFile, *before);
            writeRecord(dir, ctx, key, false);
            git(dir, {"add", "-A"});
            git(dir, {"commit", "-q", "--allow-empty", "-F", "-"}, *message);
        }
    }
    if (after) writeAtomically(textFile, *after);
    appendLine(entry.toJSON().dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n",
               dir / "log.jsonl");
    writeRecord(dir, ctx, key, true);
    git(dir, {"add", "-A"});
    git(dir, {"commit", "-q", "--allow-empty", "-F", "-"}, calcCommitMessage(ctx, entry));
}

std::vector<HistoryEntry> HistoryStore::recent(const ContextKey& key, std::int64_t limit) const {
    std::vector<HistoryEntry> entries;
    if (limit <= 0) return entries;
    auto text = readText(calcDir(key) / "log.jsonl");
    if (!text) return entries;
    std::vector<std::string_view> lines;
    std::string_view rest(*text);
    while (!rest.empty()) {
        auto end = rest.find('\n');
        auto line = rest.substr(0, end);
        if (!line.empty()) lines.push_back(line);
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    std::size_t take = std::min<std::size_t>(lines.size(), static_cast<std::uint64_t>(limit));
    for (std::size_t i = lines.size() - take; i < lines.size(); ++i) {
        try {
            entries.push_back(HistoryEntry::fromJSON(jsoncoding::parse(lines[i])));
        } catch (const std::exception&) {
            // A damaged line is skipped.
        }
    }
    return entries;
}

std::vector<StoredContext> HistoryStore::list() const {
    std::vector<StoredContext> found;
    // A folder that cannot be listed (or vanished meanwhile: git removes some of its own) is skipped
    // alone; the walk goes on with the others. Links to folders are not followed.
    std::vector<fs::path> pending{root};
    while (!pending.empty()) {
        const fs::path folder = std::move(pending.back());
        pending.pop_back();
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            const fs::path& p = it->path();
            std::error_code typeError;
            if (it->is_directory(typeError) && !it->is_symlink(typeError)) pending.push_back(p);
            else if (p.filename() == "context.json")
                if (auto record = readRecord(p)) found.push_back(StoredContext{std::move(*record), p.parent_path()});
        }
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const StoredContext& a, const StoredContext& b) { return a.record.lastSeen > b.record.lastSeen; });
    return found;
}

void HistoryStore::clear(const fs::path& dir) const {
    const fs::path target = resolved(dir);
    const fs::path base = resolved(root);
    if (!strictlyInside(target, base))
        throw HistoryError("refusing to clear " + dir.string() + ": not inside the history folder " + root.string());
    {
        auto folderLock = FolderLocks::forFolder(target);
        std::lock_guard guard(*folderLock);
        fs::remove_all(target);
    }
    pruneEmptyParents(target, base);
}

// Folders are removed one by one, never with their contents: a folder that could not be listed, or
// that a concurrent record filled after the listing, stays with everything in it.
void HistoryStore::pruneEmptyParents(const fs::path& dir, const fs::path& root) {
    for (fs::path cur = dir.parent_path(); strictlyInside(cur, root); cur = cur.parent_path()) {
        std::error_code ec;
        bool othersRemain = false;
        for (fs::directory_iterator it(cur, ec), end; !ec && it != end; it.increment(ec))
            if (it->path().filename() != ".DS_Store") {
                othersRemain = true;
                break;
            }
        if (othersRemain) return;
        fs::remove(cur / ".DS_Store", ec);
        if (!fs::remove(cur, ec) && ec) {
            if (ec == std::errc::directory_not_empty || ec == std::errc::file_exists) return;
            throw fs::filesystem_error("cannot remove", cur, ec);
        }
    }
}

void HistoryStore::clearAll() const {
    std::error_code ec;
    if (fs::symlink_status(root, ec).type() == fs::file_type::not_found) return;
    fs::remove_all(root);
}

}  // namespace talkweft
