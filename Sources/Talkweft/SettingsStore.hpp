// The one live Settings record of the running application, persisted as JSON bytes under the
// defaults key "settings" and published to subscribers on every change.
#pragma once

#include <cstdint>
#include <functional>
#include <map>

#include "Platform/Defaults.hpp"
#include "TalkweftCore/Settings.hpp"

namespace talkweft {

class SettingsStore {
public:
    static constexpr std::string_view KEY = "settings";

    using SubscriptionId = std::uint64_t;

    // Loads the record stored under "settings": missing data or data that does not decode gives
    // Settings::DEFAULT() (nothing is logged and nothing is written back; undecodable data stays
    // until the first change replaces it). A record with missing keys is completed key by key.
    // `defaults` must outlive the store.
    explicit SettingsStore(platform::Defaults& defaults);

    // The current record.
    const Settings& value() const { return value_; }

    // Replaces the record: each subscriber first receives the new record (before the store holds
    // it), then the store holds it, then it is saved under "settings". Every call saves, also when
    // nothing changed. A record that cannot be encoded is silently not saved.
    void setValue(Settings settings);

    // setValue with a copy of the current record changed by `change`.
    void update(const std::function<void(Settings&)>& change);

    // Calls `subscriber` with the current record now and with each new record from then on.
    // Returns an id for unsubscribe.
    SubscriptionId subscribe(std::function<void(const Settings&)> subscriber);
    void unsubscribe(SubscriptionId id);

    // Main thread only (not thread-safe).

private:
    void save();

    platform::Defaults& defaults_;
    Settings value_;
    SubscriptionId nextId_ = 1;
    std::map<SubscriptionId, std::function<void(const Settings&)>> subscribers_;
};

}  // namespace talkweft
