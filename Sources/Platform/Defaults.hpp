// A persistent key-value store for the application's preferences (its "user defaults").
// Thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace talkweft::platform {

class Defaults {
public:
    virtual ~Defaults() = default;

    // The bytes stored under `key`; absent when nothing is stored or the value is of another kind.
    virtual std::optional<std::string> data(std::string_view key) = 0;

    // Stores bytes under `key`, replacing any value. Returns false when the store could not be written.
    virtual bool setData(std::string_view key, std::string_view bytes) = 0;

    // The bool under `key`; false when nothing is stored or the value is of another kind.
    virtual bool boolValue(std::string_view key) = 0;

    // Stores a bool under `key`. Returns false when the store could not be written.
    virtual bool setBool(std::string_view key, bool value) = 0;

    // Removes the value under `key` (nothing stored is fine). Returns false when the store could not be written.
    virtual bool remove(std::string_view key) = 0;
};

}  // namespace talkweft::platform
