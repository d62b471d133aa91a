// Segment and result helpers: moving segment times into a longer recording's timeline, segment
// lines, comparing word lists, and merging several results into one. Pure functions; results are
// read through their own locks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ZadezarIro/Core/TranscriptionResult.hpp"

namespace zadezariro::TranscriptionUtilities {

// Seconds on the monotonic clock, for measuring stages.
double steadySeconds();
// Seconds since 1970 on the wall clock, for the pipeline's start time.
double wallClockSeconds();
// The current date in UTC, "2026-12-10 23:48:36 +0000", for the log.
std::string currentDateText();

// The segment moved by `seekTime` seconds: seek grows by trunc(seekTime × 16000) samples (32-bit
// float product), start, end and every word's times by seekTime.
TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment, float seekTime);
// The segment moved by `seekOffsetIndex` samples: seek grows by it, the times by it / 16000.
TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment, std::int64_t seekOffsetIndex);

// One line per segment: "[<start %.2f> --> <end %.2f>] <text>" with timestamps, else the text.
std::vector<std::string> formatSegments(const std::vector<TranscriptionSegment>& segments, bool withTimestamps);

// The leading words on which both lists agree after normalising (lower case, "-" as a space,
// punctuation removed, spaces collapsed, trimmed), taken from the second list.
std::vector<WordTiming> findLongestCommonPrefix(const std::vector<WordTiming>& a, const std::vector<WordTiming>& b);
// The words of the second list after that common prefix.
std::vector<WordTiming> findLongestDifferentSuffix(const std::vector<WordTiming>& a, const std::vector<WordTiming>& b);

// One new result from several (null entries stand for failed inputs): the text is the confirmed
// words joined without separator when given, else every result's text joined by " " (a null one
// counting as empty); the present results' segments in order, renumbered 0, 1, 2, ...; the first
// present result's language, else "en"; timings combined field by field (earliest starts, longest
// loads, summed durations and counts, fullPipeline counting overlapping runs once); no seek time.
std::shared_ptr<TranscriptionResult> mergeTranscriptionResults(
    const std::vector<std::shared_ptr<TranscriptionResult>>& results,
    const std::optional<std::vector<WordTiming>>& confirmedWords = std::nullopt);

}  // namespace zadezariro::TranscriptionUtilities
