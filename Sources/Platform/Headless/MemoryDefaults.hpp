// Defaults held in memory, for tests and headless runs that must not touch the user's files.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <variant>

#include "Platform/Defaults.hpp"

namespace talkweft::platform::headless {

class MemoryDefaults : public platform::Defaults {
public:
    std::optional<std::string> data(std::string_view key) override;
    bool setData(std::string_view key, std::string_view bytes) override;
    bool boolValue(std::string_view key) override;
    bool setBool(std::string_view key, bool value) override;
    bool remove(std::string_view key) override;

    // True when anything is stored under `key`.
    bool contains(std::string_view key);
    // Number of successful writes (set or remove) so far.
    int writeCount();

private:
    std::mutex mutex_;
    std::map<std::string, std::variant<bool, std::string>, std::less<>> values_;  // guarded by mutex_
    int writes_ = 0;                                                              // guarded by mutex_
};

}  // namespace talkweft::platform::headless
