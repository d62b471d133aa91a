// A small language recognizer for the word split: it tells languages apart by the script their
// letters are written in, which is all the split needs (whether the text is written without spaces
// between words). Pure and thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zadezariro::LanguageRecognizer {

// The language code of the script most letters of the text belong to: "zh" for Han, "ja" for Han
// mixed with kana (or kana alone), "ko" for Hangul, "th" for Thai, "lo" for Lao, "my" for Myanmar.
// Absent for text without letters and for scripts shared by many languages (Latin, Cyrillic, ...),
// whose language this recognizer cannot name.
std::optional<std::string> dominantLanguage(std::string_view text);

}  // namespace zadezariro::LanguageRecognizer
