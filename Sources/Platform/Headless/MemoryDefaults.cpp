#include "Platform/Headless/MemoryDefaults.hpp"

namespace talkweft::platform::headless {

std::optional<std::string> MemoryDefaults::data(std::string_view key) {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    if (const auto* s = std::get_if<std::string>(&it->second)) return *s;
    return std::nullopt;
}

bool MemoryDefaults::setData(std::string_view key, std::string_view bytes) {
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(std::string(key), std::string(bytes));
    ++writes_;
    return true;
}

bool MemoryDefaults::boolValue(std::string_view key) {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return false;
    const bool* b = std::get_if<bool>(&it->second);
    return b != nullptr && *b;
}

bool MemoryDefaults::setBool(std::string_view key, bool value) {
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(std::string(key), value);
    ++writes_;
    return true;
}

bool MemoryDefaults::remove(std::string_view key) {
    std::lock_guard lock(mutex_);
    if (auto it = values_.find(key); it != values_.end()) values_.erase(it);
    ++writes_;
    return true;
}

bool MemoryDefaults::contains(std::string_view key) {
    std::lock_guard lock(mutex_);
    return values_.find(key) != values_.end();
}

int MemoryDefaults::writeCount() {
    std::lock_guard lock(mutex_);
    return writes_;
}

}  // namespace talkweft::platform::headless
