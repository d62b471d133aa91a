// How audio input is read: how several channels become one, and whether a file is read whole or
// piece by piece. Plain values; the channel mode also has a JSON form and a hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "ZadezarIro/Core/JSONCoding.hpp"

namespace zadezariro {

struct AudioInputOptions {
    // Copy one channel.
    struct SpecificChannel {
        std::int64_t channel = 0;
        bool operator==(const SpecificChannel&) const = default;
    };
    // Add the listed channels (absent or empty: all channels) and rescale.
    struct SumChannels {
        std::optional<std::vector<std::int64_t>> channels;
        bool operator==(const SumChannels&) const = default;
    };
    using ChannelMode = std::variant<SpecificChannel, SumChannels>;

    // Read the file in windows of chunkDurationSeconds with at most maxBufferedChunks chunks out.
    struct Incremental {
        static constexpr double defaultChunkDurationSeconds = 120.0;
        static constexpr std::int64_t defaultMaxBufferedChunks = 2;
        double chunkDurationSeconds = defaultChunkDurationSeconds;
        std::int64_t maxBufferedChunks = defaultMaxBufferedChunks;
        bool operator==(const Incremental&) const = default;
    };
    // Read the whole file at once.
    struct FullFile {
        bool operator==(const FullFile&) const = default;
    };
    using AudioLoadingMode = std::variant<Incremental, FullFile>;

    ChannelMode channelMode = SumChannels{};
    AudioLoadingMode audioLoadingMode = FullFile{};

    bool operator==(const AudioInputOptions&) const = default;
};

// A channel mode as one object with a single case key whose value holds the payload under "_0":
// {"specificChannel":{"_0":1}}, {"sumChannels":{"_0":[0,2]}}, or {"sumChannels":{}} without a list.
Json toJSON(const AudioInputOptions::ChannelMode& mode);
// Reads that form. Exactly one of the two case keys must be present (other keys are ignored):
// DecodingError(typeMismatch) "Invalid number of keys found, expected one." otherwise; the payload's
// errors name their key path below `path`. A missing or null "_0" of sumChannels means no list.
AudioInputOptions::ChannelMode channelModeFromJSON(const Json& j, const std::string& path = "");

}  // namespace zadezariro

template <>
struct std::hash<zadezariro::AudioInputOptions::SpecificChannel> {
    std::size_t operator()(const zadezariro::AudioInputOptions::SpecificChannel& mode) const noexcept;
};

// An absent list and an empty list hash differently, as they compare differently.
template <>
struct std::hash<zadezariro::AudioInputOptions::SumChannels> {
    std::size_t operator()(const zadezariro::AudioInputOptions::SumChannels& mode) const noexcept;
};
