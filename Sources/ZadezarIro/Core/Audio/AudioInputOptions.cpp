#include "ZadezarIro/Core/Audio/AudioInputOptions.hpp"

namespace zadezariro {

namespace {
constexpr const char* specificChannelKey = "specificChannel";
constexpr const char* sumChannelsKey = "sumChannels";
constexpr const char* payloadKey = "_0";
}  // namespace

Json toJSON(const AudioInputOptions::ChannelMode& mode) {
    Json payload = Json::object();
    Json j = Json::object();
    if (const auto* specific = std::get_if<AudioInputOptions::SpecificChannel>(&mode)) {
        payload[payloadKey] = specific->channel;
        j[specificChannelKey] = std::move(payload);
    } else {
        const auto& sum = std::get<AudioInputOptions::SumChannels>(mode);
        if (sum.channels) payload[payloadKey] = *sum.channels;
        j[sumChannelsKey] = std::move(payload);
    }
    return j;
}

AudioInputOptions::ChannelMode channelModeFromJSON(const Json& j, const std::string& path) {
    json::requireObject(j, path);
    const bool specific = j.contains(specificChannelKey);
    const bool sum = j.contains(sumChannelsKey);
    if (specific == sum)
        throw DecodingError(DecodingError::Kind::typeMismatch, path, "Invalid number of keys found, expected one.");
    const std::string casePath = json::join(path, specific ? specificChannelKey : sumChannelsKey);
    const Json& payload = j.at(specific ? specificChannelKey : sumChannelsKey);
    json::requireObject(payload, casePath);
    if (specific)
        return AudioInputOptions::SpecificChannel{json::toInt64(json::require(payload, payloadKey, casePath), json::join(casePath, payloadKey))};
    AudioInputOptions::SumChannels mode;
    if (const Json* list = json::optional(payload, payloadKey)) mode.channels = json::toInt64List(*list, json::join(casePath, payloadKey));
    return mode;
}

}  // namespace zadezariro

std::size_t std::hash<zadezariro::AudioInputOptions::SpecificChannel>::operator()(
    const zadezariro::AudioInputOptions::SpecificChannel& mode) const noexcept {
    return std::hash<std::int64_t>()(mode.channel);
}

std::size_t std::hash<zadezariro::AudioInputOptions::SumChannels>::operator()(
    const zadezariro::AudioInputOptions::SumChannels& mode) const noexcept {
    if (!mode.channels) return 0x5bd1e995u;
    std::size_t h = mode.channels->size();
    for (std::int64_t channel : *mode.channels)
        h ^= std::hash<std::int64_t>()(channel) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h;
}
