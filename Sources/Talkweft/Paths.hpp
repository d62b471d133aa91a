// The application's folders and the working folder of agent runs.
//
// Folders follow the XDG base directories, each overridable by one environment variable:
//   support     $TALKWEFT_SUPPORT_DIR     else $XDG_DATA_HOME/talkweft   (~/.local/share/talkweft)
//   log file    $TALKWEFT_LOG_DIR         else $XDG_STATE_HOME/talkweft  (~/.local/state/talkweft) + talkweft.log
//   defaults    $TALKWEFT_CONFIG_DIR      else $XDG_CONFIG_HOME/talkweft (~/.config/talkweft) + defaults.json
//   screenshots $TALKWEFT_SCREENSHOTS_DIR else $XDG_RUNTIME_DIR/talkweft/screenshots
//               (without a runtime folder: $TMPDIR or /tmp, then talkweft-<uid>/screenshots)
// history = support/History, models = support/Models/zadezariro, work = support/Work.
// XDG variables that are empty or not absolute are ignored, as the XDG rules say.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace talkweft {

struct Folders {
    std::filesystem::path support;
    std::filesystem::path history;
    std::filesystem::path models;
    std::filesystem::path work;
    std::filesystem::path screenshots;
    std::filesystem::path logFile;
    std::filesystem::path defaultsFile;
};

// Reads an environment variable; absent when unset.
using EnvLookup = std::function<std::optional<std::string>(const char* name)>;

// The folders for the given environment and home folder. Pure; creates nothing. Thread-safe.
Folders calcFolders(const EnvLookup& env, const std::filesystem::path& home, unsigned uid);

// The process's folders, each computed once on first use from the real environment.
// Thread-safe; safe to first touch from any thread.
namespace Paths {
// Created (with missing parents) on first use; a failure is ignored.
const std::filesystem::path& support();
// Not created; touching them creates support() first.
const std::filesystem::path& history();
const std::filesystem::path& models();
const std::filesystem::path& work();
// Not created here; the screenshot writer creates it privately (mode 0700) before writing.
const std::filesystem::path& screenshots();
// The defaults file; its folder is created when the defaults are first written.
const std::filesystem::path& defaultsFile();
// The log file; Log::url() creates its folder.
const std::filesystem::path& logFile();
// The user's home folder ($HOME, else the password database).
const std::filesystem::path& home();
}  // namespace Paths

// The folder an agent run starts in:
// 1. with a document path: the nearest folder above the document (its own folder first, "/"
//    never) that holds an entry named ".git"; else the document's folder when it exists;
// 2. else the history folder when given and it exists;
// 3. else Paths::work(), created with missing parents (a failure is ignored).
// Blocks on file-system checks; thread-safe.
std::filesystem::path calcWorkDir(const std::optional<std::string>& documentPath,
                                  const std::optional<std::filesystem::path>& historyDir);

}  // namespace talkweft
