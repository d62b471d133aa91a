// How audio input is read: how several channels become one, and whether a file is read whole or
// piece by piece. Plain values.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

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

}  // namespace zadezariro
