// Normalizers: they rewrite the text before it is pre-tokenized (case, Unicode form, replacements,
// trimming, BERT-style cleaning). Built from the "normalizer" entry of a tokenizer file by
// NormalizerFactory, keyed by its "type".
//
// Normalizers are immutable after construction and shared by reference; any number of threads may
// call one at once. Normalizing fails only when the search of a "Replace" expression reaches PCRE2's
// limits (RegexMatchError); invalid UTF-8 in the input reads as U+FFFD.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DaroriCore/External/Hub/Config.hpp"
#include "DaroriCore/External/Tokenizers/StageConfig.hpp"
#include "DaroriCore/External/Tokenizers/StringReplacePattern.hpp"

namespace darori {

class Normalizer {
public:
    virtual ~Normalizer() = default;
    virtual std::string normalize(std::string_view text) const = 0;
    std::string operator()(std::string_view text) const { return normalize(text); }
};

struct NormalizerFactory {
    // The normalizer a configuration names by its "type": "Sequence", "Prepend", "Replace",
    // "Lowercase", "NFD", "NFC", "NFKD", "NFKC", "Bert", "BertNormalizer", "Precompiled",
    // "StripAccents", "Strip" (exact case). Null when the configuration has no string "type".
    // Throws StageConfigurationError "Unsupported Normalizer type: <name>" for any other name, and
    // the errors of the kind's constructor.
    static std::shared_ptr<const Normalizer> fromConfig(const Config& config);
};

// Runs its members in turn, each on the one before's output.
class NormalizerSequence : public Normalizer {
public:
    // "normalizers": an array of configurations built by the factory (members without a "type"
    // skipped). Throws StageConfigurationError "No normalizers in Sequence" when not an array.
    explicit NormalizerSequence(const Config& config);
    std::string normalize(std::string_view text) const override;

    std::vector<std::shared_ptr<const Normalizer>> normalizers;
};

// Puts a fixed text in front ("prepend", default empty), also in front of the empty text.
class PrependNormalizer : public Normalizer {
public:
    explicit PrependNormalizer(const Config& config);
    std::string normalize(std::string_view text) const override;

    std::string prepend;
};

// Replaces a literal or a regular expression ("pattern", "content"); without both, changes nothing.
class ReplaceNormalizer : public Normalizer {
public:
    // Throws StageConfigurationError "Cannot build regexp from <pattern>" for a bad "Regex".
    explicit ReplaceNormalizer(const Config& config);
    std::string normalize(std::string_view text) const override;

    std::optional<StringReplacePattern> pattern;
};

// Full, locale-independent lower-casing (final sigma and U+0130 included).
class LowercaseNormalizer : public Normalizer {
public:
    explicit LowercaseNormalizer(const Config& = {}) {}
    std::string normalize(std::string_view text) const override;
};

class NFDNormalizer : public Normalizer {
public:
    explicit NFDNormalizer(const Config& = {}) {}
    std::string normalize(std::string_view text) const override;
};

class NFCNormalizer : public Normalizer {
public:
    explicit NFCNormalizer(const Config& = {}) {}
    std::string normalize(std::string_view text) const override;
};

class NFKDNormalizer : public Normalizer {
public:
    explicit NFKDNormalizer(const Config& = {}) {}
    std::string normalize(std::string_view text) const override;
};

class NFKCNormalizer : public Normalizer {
public:
    explicit NFKCNormalizer(const Config& = {}) {}
    std::string normalize(std::string_view text) const override;
};

// NFKC, exactly as NFKCNormalizer: it removes no marks (BertNormalizer does).
class StripAccentsNormalizer : public Normalizer {
public:
    explicit StripAccentsNormalizer(const Config& = {}) {}
    std::string normalize(std::string_view text) const override;
};

// Removes leading ("stripLeft", true) and trailing ("stripRight", true) white-space characters.
class StripNormalizer : public Normalizer {
public:
    explicit StripNormalizer(const Config& config);
    std::string normalize(std::string_view text) const override;

    bool leftStrip = true;
    bool rightStrip = true;
};

// BERT's cleaning, in this order, each when its flag is set:
// - "cleanText" (true): tab, line feed and carriage return (a CR LF pair too) become one space;
//   characters starting with NUL, U+FFFD or a control, format, surrogate, private-use or
//   unassigned code point are dropped;
// - "handleChineseChars" (true): a space before and after every CJK ideograph;
// - "stripAccents" (default: "lowercase"): NFD, then U+0300-U+036F removed;
// - "lowercase" (true): as LowercaseNormalizer.
class BertNormalizer : public Normalizer {
public:
    explicit BertNormalizer(const Config& config);
    std::string normalize(std::string_view text) const override;

    bool shouldCleanText = true;
    bool shouldHandleChineseChars = true;
    bool shouldStripAccents = true;
    bool shouldLowercase = true;
};

// SentencePiece-style cleaning by fixed rules (a precompiled map in the configuration is not read):
// some control characters removed, some blanks turned into spaces, then NFKC, except that a
// full-width tilde U+FF5E survives between pieces (leading, trailing and repeated ones vanish).
class PrecompiledNormalizer : public Normalizer {
public:
    explicit PrecompiledNormalizer(const Config& = {}) {}
    std::string normalize(std::string_view text) const override;
};

}  // namespace darori
