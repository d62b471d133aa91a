#include "ZadezarIro/Core/ZadezarIroSegments.hpp"

namespace zadezariro {

std::vector<TranscriptionSegment> shiftedSegments(const std::vector<TranscriptionSegment>& segments, std::int64_t offset) {
    const float seconds = static_cast<float>(offset) / 16000.0f;
    std::vector<TranscriptionSegment> shifted = segments;
    for (auto& segment : shifted) {
        segment.seek += offset;
        segment.start += seconds;
        segment.end += seconds;
        if (segment.words) {
            for (auto& word : *segment.words) {
                word.start += seconds;
                word.end += seconds;
            }
        }
    }
    return shifted;
}

SegmentDiscoveryCallback shiftingSegments(SegmentDiscoveryCallback callback, std::int64_t offset) {
    return [callback = std::move(callback), offset](const std::vector<TranscriptionSegment>& segments) {
        callback(shiftedSegments(segments, offset));
    };
}

}  // namespace zadezariro
