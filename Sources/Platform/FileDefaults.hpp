// Defaults kept in one JSON file (the Linux form of the user defaults), for example
// $XDG_CONFIG_HOME/talkweft/defaults.json.
//
// The file is a JSON object: a bool is stored as a JSON bool, bytes as {"data": "<base64>"}.
// Every change rewrites the whole file atomically (temporary file + rename, mode 0600) so a crash
// never leaves half a file. A missing or unreadable file reads as empty; it is replaced at the
// next change. Thread-safe.
#pragma once

#include <filesystem>
#include <mutex>

#include <nlohmann/json.hpp>

#include "Platform/Defaults.hpp"

namespace talkweft::platform {

class FileDefaults : public Defaults {
public:
    // Reads `file` now (missing or unreadable: empty). Its folder is created at the first write.
    explicit FileDefaults(std::filesystem::path file);

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
