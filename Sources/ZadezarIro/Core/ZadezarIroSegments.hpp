// Moving segments onto a longer timeline: what the facade does to segments of an array that starts
// `offset` samples into the caller's audio, for segment reports and for streamed file chunks.
#pragma once

#include <cstdint>
#include <vector>

#include "ZadezarIro/Core/TranscribeTask.hpp"
#include "ZadezarIro/Core/TranscriptionResult.hpp"

namespace zadezariro {

// Copies of the segments with seek + offset (samples) and start, end and every word's start and
// end + offset / 16000 seconds (32-bit float). Pure.
std::vector<TranscriptionSegment> shiftedSegments(const std::vector<TranscriptionSegment>& segments, std::int64_t offset);

// A callback that hands `callback` the segments shifted by `offset`.
SegmentDiscoveryCallback shiftingSegments(SegmentDiscoveryCallback callback, std::int64_t offset);

}  // namespace zadezariro
