// The per-context history: one git repository per context folder holding the field's last known
// text ("text.txt"), the context's metadata ("context.json") and an append-only log of edits
// ("log.jsonl"); every change is committed, so the commit chain shows how the text evolved.
//
// The store keeps nothing in memory. Writes to one context folder are serialised within this
// process (two records of one context never race on git's index lock or commit each other's
// files); reads take no lock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "TalkweftCore/Context.hpp"
#include "TalkweftCore/HistoryEntry.hpp"
#include "TalkweftCore/JSONCoding.hpp"

namespace talkweft {

// The metadata of one context, stored as its "context.json". Fields in encoding order.
struct ContextRecord {
    ContextKey key;
    std::string appName;                      // the app's name at the last write
    std::optional<std::string> windowTitle;   // at the last write
    std::optional<std::string> url;           // at the last write, as captured
    std::optional<std::string> documentPath;  // at the last write
    Date firstSeen{};                         // first recorded
    Date lastSeen{};                          // last written
    std::int64_t editCount = 0;               // edits recorded (observe commits do not count)

    bool operator==(const ContextRecord&) const = default;

    // Keys sorted, dates ISO 8601 UTC in whole seconds, absent optionals left out.
    nlohmann::json toJSON() const;
    // key, appName, firstSeen, lastSeen (ISO 8601) and editCount required; optionals absent when
    // missing or null. Throws DecodingError otherwise.
    static ContextRecord fromJSON(const nlohmann::ordered_json& j);
};

// One stored context and the folder it was read from.
struct StoredContext {
    ContextRecord record;
    std::filesystem::path dir;

    bool operator==(const StoredContext&) const = default;
};

// The only git executable the store runs.
inline constexpr const char* GIT = "/usr/bin/git";

// Refusals of the store that are not file, encoding or git failures.
class HistoryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The commit message of an edit: "agent: " or "dictate: " + the instruction on one line, cut to 120
// characters; an empty line; "Action: <action>" (+ " (not applied)"); "App: <name> (<id>)";
// "User: <user>"; then "Window: ", "URL: ", "Document: ", "Message: " lines for what is present, and
// one "External: " line per item. Every line ends with a line feed.
std::string calcCommitMessage(const AppContext& ctx, const HistoryEntry& entry);

// Appends `line` (ended by a line feed) to the file, creating it when missing; when the file's last
// line lacks its line feed (a write cut short), one is added first so the new line stays whole.
// Throws std::filesystem::filesystem_error when the file cannot be opened or written.
void appendLine(const std::string& line, const std::filesystem::path& file);

class HistoryStore {
public:
    explicit HistoryStore(std::filesystem::path root) : root(std::move(root)) {}

    std::filesystem::path root;

    // root / key.relativePath().
    std::filesystem::path calcDir(const ContextKey& key) const;

    // Records one finished request in its context's repository: an "observe" commit first when
    // `before` (the field's text when the request began) differs from the stored text or no text
    // is stored yet, then the edit: `after` (when present) becomes the stored text, the entry is
    // appended to the log, the record's edit count goes up, and everything is committed with
    // calcCommitMessage. Git runs without the GIT_DIR, GIT_INDEX_FILE, GIT_WORK_TREE and similar
    // variables of our environment, so it always works on the context's own repository. Throws the
    // first failure met (std::filesystem/system errors, DecodingError,
    // ShellTimeoutError, AgentError::failed "git <command>: <stderr>"); files written before it stay
    // and go into the next commit. Blocks; thread-safe (serialised per context folder).
    void record(const AppContext& ctx, const HistoryEntry& entry, const std::optional<std::string>& before,
                const std::optional<std::string>& after) const;

    // The last `limit` lines of the context's log that decode, oldest first; lines that do not
    // decode are skipped (not made up for). A negative limit counts as 0. Never throws for a
    // missing or unreadable log.
    std::vector<HistoryEntry> recent(const ContextKey& key, std::int64_t limit) const;

    // Every readable context record below root, newest lastSeen first. Never throws for missing
    // or unreadable files.
    std::vector<StoredContext> list() const;

    // Deletes the context folder `dir` and then every parent left empty (".DS_Store" does not
    // count), up to but not including root. Throws HistoryError, deleting nothing, when `dir`
    // (symbolic links resolved) is not strictly inside root; std::filesystem::filesystem_error
    // when a deletion fails.
    void clear(const std::filesystem::path& dir) const;

    // Deletes root with everything in it (nothing to do when it does not exist). Throws
    // std::filesystem::filesystem_error when the deletion fails.
    void clearAll() const;

private:
    void ensureRepo(const std::filesystem::path& dir) const;
    void writeRecord(const std::filesystem::path& dir, const AppContext& ctx, const ContextKey& key, bool bump) const;
    void git(const std::filesystem::path& dir, const std::vector<std::string>& args,
             const std::optional<std::string>& stdinText = std::nullopt) const;
    static void pruneEmptyParents(const std::filesystem::path& dir, const std::filesystem::path& root);
};

}  // namespace talkweft
