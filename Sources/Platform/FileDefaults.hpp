// Defaults kept in one JSON file (the Linux form of the user defaults), for example
// $XDG_CONFIG_HOME/talkweft/defaults.json.
//
// The file is a JSON object: a bool is stored as a JSON bool, bytes as {"data": "<base64>"}.
// Every change rewrites the whole file atomically (temporary file + rename, mode 0600) so a crash
// never leaves half a file. A missing or unreadable file reads as empty; it is replaced at the
// next change. A damaged file (not JSON, not an object, nested too deeply) is moved aside, kept
// for the user, and the defaults start empty. Thread-safe.
#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "Platform/Defaults.hpp"

namespace talkweft::platform {

// Deepest nesting of arrays and objects a defaults file may have, as for the other JSON the
// program reads: writing a value back out recurses once per level.
inline constexpr int MAX_DEFAULTS_NESTING = 512;

class DefaultsFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The values of a defaults file's text. Throws DefaultsFileError with the reason ("not valid JSON:
// ...", "nested deeper than 512 levels", "not a JSON object") when the text is damaged. Pure;
// any thread.
nlohmann::ordered_json parseDefaults(std::string_view text);

class FileDefaults : public Defaults {
public:
    // Reads `file` now (missing or unreadable: empty). Its folder is created at the first write.
    // A damaged file is renamed to "<file>.damaged-<UTC time>" and `report` (when set) gets one
    // log line saying so; the values then start empty.
    explicit FileDefaults(std::filesystem::path file, const std::function<void(const std::string&)>& report = {});

    std::optional<std::string> data(std::string_view key) override;
    bool setData(std::string_view key, std::string_view bytes) override;
    bool boolValue(std::string_view key) override;
    bool setBool(std::string_view key, bool value) override;
    bool remove(std::string_view key) override;

    const std::filesystem::path& file() const { return file_; }

private:
    bool storeLocked();  // writes values_ to file_; requires mutex_

    const std::filesystem::path file_;
    std::mutex mutex_;
    nlohmann::ordered_json values_;  // guarded by mutex_
};

}  // namespace talkweft::platform
