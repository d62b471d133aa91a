// The speech engine's fixed values: the Whisper language table, window and context sizes, the
// characters around special tokens, the punctuation sets for word timings, the model-support
// defaults. The lazily built tables are made once on first use (thread-safe) and never change.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace zadezariro {

class ModelSupportConfig;

namespace Constants {

// The decoder's token context: the default sample length of one window.
inline constexpr std::int64_t maxTokenContext = 224;
// The default largest number of file frames read per step when a file is resampled (30 s at 44.1 kHz).
inline constexpr std::uint32_t defaultAudioReadFrameSize = 1'323'000;
// One 30-second window of 16 kHz audio.
inline constexpr std::int64_t defaultWindowSamples = 480'000;
inline constexpr std::string_view defaultLanguageCode = "en";
// Less-than sign, vertical bar, greater-than sign: what wraps a special token's text.
inline constexpr std::string_view specialTokenCharacters = "<|>";
// Characters (not words) glued to the following word when word timings are merged.
inline constexpr std::string_view defaultPrependPunctuations = "\"'\u201c\u00a1\u00bf([{-";
// Characters glued to the preceding word.
inline constexpr std::string_view defaultAppendPunctuations =
    "\"'.\u3002,\uff0c!\uff01?\uff1f:\uff1a\u201d)]}\u3001";
// The model-support file of a model repository.
inline constexpr std::string_view defaultRemoteConfigName = "config.json";
// The endpoint of calls that name none: empty, which means HUB_ENDPOINT, else no hub at all (the
// hub client's rule).
inline constexpr std::string_view defaultRemoteEndpoint = "";

// Language name to code, the 112 entries in their order of definition (the last 12 are second
// names of codes already present).
const std::vector<std::pair<std::string, std::string>>& languages();
// Every code of languages(): 100 distinct codes.
const std::unordered_set<std::string>& languageCodes();

// The built-in model-support table ("zadezariro-coreml-fallback", version "0.4", six rows).
const ModelSupportConfig& fallbackModelSupportConfig();
// Every supported model of the fallback table's rows, repeats dropped, first occurrence kept.
const std::vector<std::string>& knownModels();

}  // namespace Constants
}  // namespace zadezariro
