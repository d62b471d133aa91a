// Post-processors: they wrap the tokens of one sequence, or of a pair, in the special tokens a model
// expects (beginning and end markers, separators), after tokenizing and before the tokens become
// ids. Built from the "post_processor" entry of a tokenizer file by PostProcessorFactory, keyed by
// its "type".
//
// Post-processors are immutable after construction and owned (shared) by the tokenizer that made
// them; any number of threads may call one at once. Post-processing never fails.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "DaroriCore/External/Hub/Config.hpp"
#include "DaroriCore/External/Tokenizers/StageConfig.hpp"

namespace darori {

class PostProcessor {
public:
    virtual ~PostProcessor() = default;
    // The token strings of `tokens` (and of `tokensPair`, when given) with special tokens added.
    virtual std::vector<std::string> postProcess(const std::vector<std::string>& tokens,
                                                 const std::optional<std::vector<std::string>>& tokensPair = std::nullopt,
                                                 bool addSpecialTokens = true) const = 0;
    std::vector<std::string> operator()(const std::vector<std::string>& tokens,
                                        const std::optional<std::vector<std::string>>& tokensPair = std::nullopt,
                                        bool addSpecialTokens = true) const {
        return postProcess(tokens, tokensPair, addSpecialTokens);
    }
};

struct PostProcessorFactory {
    // The post-processor a configuration names by its "type": "TemplateProcessing", "ByteLevel",
    // "RobertaProcessing", "BertProcessing", "Sequence" (exact case). Null when the configuration has
    // no string "type" (a null or non-dictionary configuration included). Throws
    // StageConfigurationError "Unsupported PostProcessor type: <name>" for any other name, and the
    // errors of the kind's constructor.
    static std::shared_ptr<const PostProcessor> fromConfig(const Config& config);
};

// Lays the tokens out as the "single" (or, with a pair, the "pair") template says: a
// {"SpecialToken": {"id": text}} item inserts that token when special tokens are asked for, a
// {"Sequence": {"id": "A"}} item the first sequence and "B" the second (nothing when absent).
class TemplateProcessing : public PostProcessor {
public:
    // Throws StageConfigurationError "Missing `single` processor configuration" or "Missing `pair`
    // processor configuration" when either is not an array.
    explicit TemplateProcessing(const Config& config);
    std::vector<std::string> postProcess(const std::vector<std::string>& tokens,
                                         const std::optional<std::vector<std::string>>& tokensPair = std::nullopt,
                                         bool addSpecialTokens = true) const override;

    std::vector<Config> single;
    std::vector<Config> pair;
};

// The first sequence unchanged; a second sequence is dropped.
class ByteLevelPostProcessor : public PostProcessor {
public:
    explicit ByteLevelPostProcessor(const Config& = {}) {}
    std::vector<std::string> postProcess(const std::vector<std::string>& tokens,
                                         const std::optional<std::vector<std::string>>& tokensPair = std::nullopt,
                                         bool addSpecialTokens = true) const override;
};

// A special token as [text, id] in the configuration.
using SpecialTokenPair = std::pair<std::uint64_t, std::string>;

// [cls] A [sep] (B [sep]) when special tokens are asked for; A B otherwise.
class BertProcessing : public PostProcessor {
public:
    // "sep", "cls": [text, id]; StageConfigurationError "Missing `sep` processor configuration" /
    // "Missing `cls` processor configuration".
    explicit BertProcessing(const Config& config);
    std::vector<std::string> postProcess(const std::vector<std::string>& tokens,
                                         const std::optional<std::vector<std::string>>& tokensPair = std::nullopt,
                                         bool addSpecialTokens = true) const override;

    SpecialTokenPair sep;
    SpecialTokenPair cls;
};

// [cls] A [sep] ([sep] B [sep]), always, after trimming white space at the ends of every token:
// with "trimOffset" and "addPrefixSpace" (both true by default) runs of white space at a token's
// ends shrink to one character (a token of white space alone keeps its first character); with
// "trimOffset" alone, blanks (spaces and tabs) at the ends go.
class RobertaProcessing : public PostProcessor {
public:
    // "sep", "cls" as BertProcessing, with the same errors.
    explicit RobertaProcessing(const Config& config);
    std::vector<std::string> postProcess(const std::vector<std::string>& tokens,
                                         const std::optional<std::vector<std::string>>& tokensPair = std::nullopt,
                                         bool addSpecialTokens = true) const override;

    SpecialTokenPair sep;
    SpecialTokenPair cls;
    bool trimOffset = true;
    bool addPrefixSpace = true;

private:
    std::string trimmed(const std::string& token) const;
};

// Its "processors" in turn: the first gets both sequences, every later one the output before it.
class SequenceProcessing : public PostProcessor {
public:
    // StageConfigurationError "Missing `processors` configuration" when not an array.
    explicit SequenceProcessing(const Config& config);
    std::vector<std::string> postProcess(const std::vector<std::string>& tokens,
                                         const std::optional<std::vector<std::string>>& tokensPair = std::nullopt,
                                         bool addSpecialTokens = true) const override;

    std::vector<std::shared_ptr<const PostProcessor>> processors;
};

}  // namespace darori
