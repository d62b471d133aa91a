// Decoders: they turn the token strings of decoded ids back into text pieces (undoing the
// byte-level spelling, resolving byte tokens, removing word-piece prefixes and metaspace markers).
// The tokenizer joins the pieces without separator. Built from the "decoder" entry of a tokenizer
// file by DecoderFactory, keyed by its "type".
//
// Decoders are immutable after construction and shared by reference; any number of threads may
// call one at once. Decoding fails only when the search of a "Replace" expression reaches PCRE2's
// limits (RegexMatchError): bytes that do not form UTF-8 read as U+FFFD, once per maximal invalid
// subpart, and any token list, the empty one included, gives a result.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "DaroriCore/External/Hub/Config.hpp"
#include "DaroriCore/External/Tokenizers/Regex.hpp"
#include "DaroriCore/External/Tokenizers/StageConfig.hpp"
#include "DaroriCore/External/Tokenizers/StringReplacePattern.hpp"

namespace darori {

class Decoder {
public:
    virtual ~Decoder() = default;
    virtual std::vector<std::string> decode(const std::vector<std::string>& tokens) const = 0;
    std::vector<std::string> operator()(const std::vector<std::string>& tokens) const { return decode(tokens); }
};

struct DecoderFactory {
    // The decoder a configuration names by its "type": "Sequence", "WordPiece", "ByteLevel",
    // "Replace", "ByteFallback", "Fuse", "Strip", "Metaspace" (exact case). A byte-level decoder
    // gets `addedTokens` (none when absent). Null when the configuration has no string "type".
    // Throws StageConfigurationError "Unsupported Decoder type: <name>" for any other name, and the
    // errors of the kind's constructor.
    static std::shared_ptr<const Decoder> fromConfig(const Config& config,
                                                     const std::optional<std::set<std::string>>& addedTokens = std::nullopt);
};

// Runs its members in turn, each on the list the one before returned.
class DecoderSequence : public Decoder {
public:
    // "decoders": an array of configurations, built by the factory without added tokens (members
    // without a "type" skipped). Throws StageConfigurationError "No decoders in Sequence".
    explicit DecoderSequence(const Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

    std::vector<std::shared_ptr<const Decoder>> decoders;
};

// Joins word pieces: a later token starting with the prefix loses it, any other later token gets a
// space in front. With "cleanup", the space before ".", "?", "!", ",", "n't", "'m", "'s", "'ve",
// "'re" and an apostrophe before white space goes, and " do not" becomes " don't".
class WordPieceDecoder : public Decoder {
public:
    static constexpr std::string_view CLEANUP_PATTERN = "\\s(\\.|\\?|\\!|\\,|'\\s|n't|'m|'s|'ve|'re)";

    // "prefix" (required: StageConfigurationError "Missing `prefix` configuration for
    // WordPieceDecoder."), "cleanup" (false).
    explicit WordPieceDecoder(const Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

    std::string prefix;
    bool cleanup = false;

private:
    std::string cleaned(std::string text) const;
    Regex re_;
};

// Byte-level text back to UTF-8. Runs of tokens are turned into bytes together, so a character
// spread over several tokens comes back whole; an added token passes through unchanged. A character
// that is none of the 256 byte-level characters stands for its own UTF-8 bytes.
class ByteLevelDecoder : public Decoder {
public:
    explicit ByteLevelDecoder(std::set<std::string> addedTokens = {}) : addedTokens(std::move(addedTokens)) {}
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

    std::set<std::string> addedTokens;
};

// Every token rewritten as the replace normalizer rewrites a text; no pattern: unchanged.
class ReplaceDecoder : public Decoder {
public:
    // Throws StageConfigurationError "Cannot build regexp from <pattern>" for a bad "Regex".
    explicit ReplaceDecoder(const Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

    std::optional<StringReplacePattern> pattern;
};

// Byte tokens "<0xHH>" (two characters that read as a hexadecimal number from 0 to FF, a sign
// allowed: "<0x+5>" is the byte 5) turned into bytes; each run of them is decoded as UTF-8 into one
// string. Every other token passes unchanged.
class ByteFallbackDecoder : public Decoder {
public:
    explicit ByteFallbackDecoder(const Config& = {}) {}
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
};

// All tokens as one string (the empty list gives one empty string).
class FuseDecoder : public Decoder {
public:
    explicit FuseDecoder(const Config& = {}) {}
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
};

// Every token loses up to `start` leading and `stop` trailing copies of the `content` character.
class StripDecoder : public Decoder {
public:
    // "content" (text), "start", "stop" (integers), all required, checked in this order:
    // StageConfigurationError "Incorrect StripDecoder configuration: can't parse `content`." (or
    // `start`, `stop`).
    explicit StripDecoder(const Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

    std::string content;
    std::int64_t start = 0;
    std::int64_t stop = 0;
};

// The replacement character back to spaces; with "addPrefixSpace", the first string's leading
// space removed.
class MetaspaceDecoder : public Decoder {
public:
    // "addPrefixSpace" (false), "replacement" ("_").
    explicit MetaspaceDecoder(const Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

    bool addPrefixSpace = false;
    std::string replacement;
};

}  // namespace darori
