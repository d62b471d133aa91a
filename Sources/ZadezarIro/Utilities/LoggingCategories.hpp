// The engine's own log categories and the signpost intervals that bracket its phases
// ("ExtractAudioFeatures" on FeatureExtractor, "EncodeAudio" on AudioEncoding, "TranscribeAudio"
// and "Decode" on TranscribeTask). Each category is made once, on first use (thread-safe), and its
// signposter keeps per-interval totals that feed the timing figures.
#pragma once

#include <string_view>

#include "DaroriCore/OSLog.hpp"

namespace zadezariro::LoggingCategories {

// The log subsystem of every engine category.
inline constexpr std::string_view SUBSYSTEM = "com.talkweft.zadezariro";

struct Category {
    darori::Logger logger;
    darori::Signposter signposter;
};

Category& AudioEncoding();     // category "AudioEncoding"
Category& FeatureExtractor();  // category "FeatureExtractor"
Category& TranscribeTask();    // category "TranscribeTask"

// Begins an interval named `name` on `signposter` and returns its state.
darori::SignpostIntervalState beginSignpost(std::string_view name, darori::Signposter& signposter);
// Ends the interval begun by beginSignpost with the same name.
void endSignpost(std::string_view name, const darori::SignpostIntervalState& interval, darori::Signposter& signposter);

}  // namespace zadezariro::LoggingCategories
