// The segment seeker reads what a model decoded: any token list (timestamps anywhere, in any
// order) must give segments whose times come from its own tokens and a seek point after the
// window's start, and any alignment weights must give word timings or a segmenting error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "MLRuntime/MultiArray.hpp"
#include "ZadezarIro/Core/Constants.hpp"
#include "ZadezarIro/Core/Text/SegmentSeeker.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace {

using namespace zadezariro;

// Ids below 10 are text ("a" ... "j", odd ones with a leading blank), 10 to 14 special, 15 and up timestamps.
class SmallTokenizer : public WhisperTokenizer {
public:
    SmallTokenizer() {
        special_.endToken = 10;
        special_.specialTokenBegin = 10;
        special_.startOfTranscriptToken = 11;
        special_.noTimestampsToken = 12;
        special_.timeTokenBegin = 15;
    }
    std::vector<int> encode(const std::string&) const override { return {}; }
    std::string decode(const std::vector<int>& tokens) const override {
        std::string text;
        for (int t : tokens) text += t < 10 ? std::string(t % 2 ? " " : "") + static_cast<char>('a' + t) : "<|" + std::to_string(t) + "|>";
        return text;
    }
    std::optional<int> convertTokenToId(const std::string&) const override { return std::nullopt; }
    std::optional<std::string> convertIdToToken(int id) const override { return decode({id}); }
    const SpecialTokens& specialTokens() const override { return special_; }
    const std::unordered_set<int>& allLanguageTokens() const override { return languages_; }
    WordSplit splitToWordTokens(const std::vector<int>& ids) const override {
        WordSplit split;
        for (int id : ids) {
            split.first.push_back(decode({id}));
            split.second.push_back({id});
        }
        return split;
    }

private:
    SpecialTokens special_;
    std::unordered_set<int> languages_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static const SmallTokenizer tokenizer;
    const size_t tokenCount = std::min<size_t>(data[0] % 64, size - 1);
    DecodingResult result;
    for (size_t i = 0; i < tokenCount; ++i) {
        result.tokens.push_back(data[1 + i] % 40);
        result.tokenLogProbs.push_back({{result.tokens.back(), -static_cast<float>(data[1 + i]) / 64.0f}});
    }
    SegmentSeeker seeker;
    const int64_t currentSeek = 16'000 * (data[1] % 4);
    auto [seek, segments] = seeker.findSeekPointAndSegments(result, DecodingOptions::make(), 0, currentSeek, 480'000, 16'000, 15, 10,
                                                            tokenizer);
    if (seek <= currentSeek) std::abort();
    if (!segments) return 0;

    // Weights from the remaining bytes, one row per token of the segments and 8 frames.
    size_t rows = 0;
    for (const auto& segment : *segments) rows += segment.tokens.size();
    if (rows == 0) return 0;
    mlruntime::MultiArray weights({static_cast<int64_t>(rows), 8}, mlruntime::DataType::Float16);
    const uint8_t* rest = data + 1 + tokenCount;
    const size_t restSize = size - 1 - tokenCount;
    for (int64_t i = 0; i < weights.count(); ++i)
        weights.setValue(i, restSize ? static_cast<double>(rest[static_cast<size_t>(i) % restSize]) / 255.0 : 0.0);
    try {
        auto timed = seeker.addWordTimestamps(*segments, weights, tokenizer, currentSeek, 480'000,
                                              std::string(Constants::defaultPrependPunctuations),
                                              std::string(Constants::defaultAppendPunctuations), 0.0f, DecodingOptions::make(), {});
        if (timed.size() != segments->size()) std::abort();
    } catch (const WhisperError&) {
    }
    return 0;
}
