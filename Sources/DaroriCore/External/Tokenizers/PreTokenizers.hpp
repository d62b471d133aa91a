// Pre-tokenizers: they cut normalised text into pieces (pre-tokens) that the tokenizing model then
// encodes one by one. Built from the "pre_tokenizer" entry of a tokenizer file by
// PreTokenizerFactory, keyed by its "type".
//
// Pre-tokenizers are immutable after construction and shared by reference; any number of threads
// may call one at once. Pre-tokenizing fails only when the search of an expression reaches PCRE2's
// limits (RegexMatchError, rather than leaving the rest of the text unsplit), and every piece is
// valid UTF-8: invalid input reads as U+FFFD, once per maximal invalid subpart, rather than being
// dropped.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "DaroriCore/External/Hub/Config.hpp"
#include "DaroriCore/External/Tokenizers/Regex.hpp"
#include "DaroriCore/External/Tokenizers/StageConfig.hpp"

namespace darori {

enum class PreTokenizerOption {
    firstSection,  // the text is the first section of the input
};
using PreTokenizerOptions = std::set<PreTokenizerOption>;

class PreTokenizer {
public:
    virtual ~PreTokenizer() = default;

    // The pieces of one text, in order.
    virtual std::vector<std::string> preTokenize(std::string_view text, const PreTokenizerOptions& options = {}) const = 0;
    // The pieces of each text, concatenated in order.
    std::vector<std::string> preTokenize(const std::vector<std::string>& texts,
                                         const PreTokenizerOptions& options = {}) const;

    std::vector<std::string> operator()(std::string_view text, const PreTokenizerOptions& options = {}) const {
        return preTokenize(text, options);
    }
    std::vector<std::string> operator()(const std::vector<std::string>& texts,
                                        const PreTokenizerOptions& options = {}) const {
        return preTokenize(texts, options);
    }
};

struct PreTokenizerFactory {
    // The pre-tokenizer a configuration names by its "type": "Sequence", "ByteLevel", "Punctuation",
    // "Digits", "Split", "Whitespace", "WhitespaceSplit", "Metaspace", "BertPreTokenizer" (exact
    // case). Null when the configuration has no string "type" (a null Config included). Throws
    // StageConfigurationError "Unsupported PreTokenizer type: <name>" for any other name, and the
    // errors of the kind's constructor.
    static std::shared_ptr<const PreTokenizer> fromConfig(const Config& config);
};

// Runs its members in turn, each on every piece the one before produced.
class PreTokenizerSequence : public PreTokenizer {
public:
    // "pretokenizers": an array of configurations, each built by the factory; members without a
    // "type" are skipped. Throws StageConfigurationError "No pretokenizers in Sequence" when it is
    // not an array.
    explicit PreTokenizerSequence(const Config& config);
    std::vector<std::string> preTokenize(std::string_view text, const PreTokenizerOptions& options = {}) const override;

    std::vector<std::shared_ptr<const PreTokenizer>> preTokenizers;
};

// The pieces of the byte-level pattern (contractions, letter runs, number runs, other runs, blank
// runs), each spelled in byte-level characters.
class ByteLevelPreTokenizer : public PreTokenizer {
public:
    static constexpr std::string_view PATTERN =
        "'s|'t|'re|'ve|'m|'ll|'d| ?\\p{L}+| ?\\p{N}+| ?[^\\s\\p{L}\\p{N}]+|\\s+(?!\\S)|\\s+";

    // "addPrefixSpace" (false), "trimOffsets" (true, kept only), "useRegex" (true).
    explicit ByteLevelPreTokenizer(const Config& config);
    std::vector<std::string> preTokenize(std::string_view text, const PreTokenizerOptions& options = {}) const override;

    bool addPrefixSpace = false;
    bool trimOffsets = true;
    bool useRegex = true;
    std::string RE{PATTERN};

private:
    Regex regex_;
};

// The kinds whose pieces are the occurrences of a fixed pattern; text between them is dropped.
class PatternPreTokenizer : public PreTokenizer {
public:
    std::vector<std::string> preTokenize(std::string_view text, const PreTokenizerOptions& options = {}) const override;
    const std::string& re() const { return regex_.pattern(); }

protected:
    explicit PatternPreTokenizer(const Regex& regex) : regex_(regex) {}

private:
    Regex regex_;
};

// Runs of non-punctuation (white space included) and runs of punctuation.
class PunctuationPreTokenizer : public PatternPreTokenizer {
public:
    static constexpr std::string_view PATTERN =
        "[^\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]+|"
        "[\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]+";
    explicit PunctuationPreTokenizer(const Config& config = {});
};

// Runs of non-digits and runs of digits, or single digits with "individualDigits".
class DigitsPreTokenizer : public PatternPreTokenizer {
public:
    // "individualDigits" (false).
    explicit DigitsPreTokenizer(const Config& config);
};

// Runs of non-blank characters.
class WhitespacePreTokenizer : public PatternPreTokenizer {
public:
    static constexpr std::string_view PATTERN = "\\S+";
    explicit WhitespacePreTokenizer(const Config& config = {});
};

// Runs of characters that are neither blank nor punctuation, and each punctuation character alone.
class BertPreTokenizer : public PatternPreTokenizer {
public:
    static constexpr std::string_view PATTERN =
        "[^\\s\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]+|"
        "[\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]";
    explicit BertPreTokenizer(const Config& config = {});
};

// The separator of a split pre-tokenizer: a regular expression or a literal text.
struct StringSplitPattern {
    struct Regexp {
        std::string regexp;
    };
    struct Literal {
        std::string pattern;
    };
    std::variant<Regexp, Literal> value;

    // From a whole split configuration: its "pattern" member's string "String" (read first), else
    // its string "Regex"; absent otherwise.
    static std::optional<StringSplitPattern> from(const Config& config);
};

// Cuts at a pattern, keeping the separators as pieces of their own.
class SplitPreTokenizer : public PreTokenizer {
public:
    // "pattern" (StringSplitPattern), "invert" (false). A "Regex" that does not compile is accepted
    // and then finds nothing.
    explicit SplitPreTokenizer(const Config& config);
    std::vector<std::string> preTokenize(std::string_view text, const PreTokenizerOptions& options = {}) const override;

    std::optional<StringSplitPattern> pattern;
    bool invert = false;

private:
    std::optional<Regex> regex_;
};

// Spaces replaced by a visible marker, which then opens every piece. The replacement is found as
// literal text, whatever characters it holds.
class MetaspacePreTokenizer : public PreTokenizer {
public:
    enum class PrependScheme { first, never, always };

    // "addPrefixSpace" (false), "replacement" (" "), "strRep" (the replacement), "prependScheme"
    // ("first", "never", "always"; anything else is always).
    explicit MetaspacePreTokenizer(const Config& config);
    std::vector<std::string> preTokenize(std::string_view text, const PreTokenizerOptions& options = {}) const override;

    bool addPrefixSpace = false;
    std::string replacement;
    std::string stringReplacement;
    PrependScheme prependScheme = PrependScheme::always;
};

}  // namespace darori
