#pragma once

#include <cstdint>
#include <vector>

#include "MLRuntime/WhisperDecoder.hpp"

namespace mlruntime::whisper {

// A decoder for pipeline tests that speaks a stored token script instead of computing. It reads
// the tokens seen so far back from the key cache (each step stores its input token in key
// channels 0 and 1 as token % 1024 and token / 1024, exact in half precision), finds the longest
// tail of that history that equals a start of the script, and answers the script's next token
// (the end token once the script is spoken) with logit 10, the end token with 5, all others 0.
// Without any match it answers the script's first token. Stateless; thread-safe.
class ScriptedDecoder {
public:
    ScriptedDecoder(const DecoderConfig& config, std::vector<int64_t> script, int64_t endToken);

    // The token history of a step: cache positions below `position` that the padding mask allows,
    // then the step's own token.
    std::vector<int64_t> history(const DecoderStepInput& input) const;
    // The token the script answers after `history`.
    int64_t next(const std::vector<int64_t>& history) const;

    void step(const DecoderStepInput& input, DecoderStepOutput& output) const;

private:
    DecoderConfig config_;
    std::vector<int64_t> script_;
    int64_t endToken_;
};

}  // namespace mlruntime::whisper
