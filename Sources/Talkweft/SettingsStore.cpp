#include "Talkweft/SettingsStore.hpp"

#include <exception>

namespace talkweft {

namespace {

Settings load(platform::Defaults& defaults) {
    auto data = defaults.data(SettingsStore::KEY);
    if (!data) return Settings::DEFAULT();
    try {
        return Settings::fromJSONText(*data);
    } catch (const std::exception&) {
        return Settings::DEFAULT();
    }
}

}  // namespace

SettingsStore::SettingsStore(platform::Defaults& defaults) : defaults_(defaults), value_(load(defaults)) {}

void SettingsStore::setValue(Settings settings) {
    // Copy: a subscriber may unsubscribe (or subscribe) while being called.
    auto subscribers = subscribers_;
    for (auto& [id, subscriber] : subscribers) subscriber(settings);
    value_ = std::move(settings);
    save();
}

void SettingsStore::update(const std::function<void(Settings&)>& change) {
    Settings next = value_;
    change(next);
    setValue(std::move(next));
}

SettingsStore::SubscriptionId SettingsStore::subscribe(std::function<void(const Settings&)> subscriber) {
    const SubscriptionId id = nextId_++;
    subscriber(value_);
    subscribers_.emplace(id, std::move(subscriber));
    return id;
}

void SettingsStore::unsubscribe(SubscriptionId id) { subscribers_.erase(id); }

void SettingsStore::save() {
    std::string bytes;
    try {
        bytes = value_.toJSON().dump();
    } catch (const std::exception&) {
        return;  // not encodable (invalid UTF-8 in a text): nothing is stored
    }
    defaults_.setData(KEY, bytes);
}

}  // namespace talkweft
