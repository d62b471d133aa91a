// A tokenizer file's stage configuration built by every stage factory and run on text.
// Input: a JSON configuration, a NUL byte, then the text (its lines are the tokens given to
// decoders and post-processors). A configuration may be rejected only with
// StageConfigurationError; building and running must never crash or throw anything else.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "DaroriCore/External/Hub/Config.hpp"
#include "DaroriCore/External/Tokenizers/Decoders.hpp"
#include "DaroriCore/External/Tokenizers/Normalizers.hpp"
#include "DaroriCore/External/Tokenizers/PostProcessors.hpp"
#include "DaroriCore/External/Tokenizers/PreTokenizers.hpp"
#include "DaroriCore/External/Tokenizers/Regex.hpp"

using namespace darori;

namespace {

std::vector<std::string> lines(std::string_view text) {
    std::vector<std::string> out;
    std::size_t from = 0;
    while (from <= text.size()) {
        const std::size_t at = std::min(text.find('\n', from), text.size());
        out.emplace_back(text.substr(from, at - from));
        from = at + 1;
    }
    return out;
}

template <class Build>
void guarded(Build&& build) {
    try {
        build();
    } catch (const StageConfigurationError&) {
    } catch (const RegexMatchError&) {
        // A configured expression whose search PCRE2 gave up on.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    if (split == std::string_view::npos) return 0;
    const auto json = nlohmann::ordered_json::parse(input.substr(0, split), nullptr, false);
    if (json.is_discarded()) return 0;
    const Config config = Config::convertToBinaryDistinctKeys(json);
    const std::string_view text = input.substr(split + 1);
    const std::vector<std::string> tokens = lines(text);

    guarded([&] {
        if (auto normalizer = NormalizerFactory::fromConfig(config)) normalizer->normalize(text);
    });
    guarded([&] {
        if (auto preTokenizer = PreTokenizerFactory::fromConfig(config)) {
            preTokenizer->preTokenize(text, {PreTokenizerOption::firstSection});
            preTokenizer->preTokenize(tokens);
        }
    });
    guarded([&] {
        if (auto decoder = DecoderFactory::fromConfig(config, std::set<std::string>{tokens.front()})) decoder->decode(tokens);
    });
    guarded([&] {
        if (auto postProcessor = PostProcessorFactory::fromConfig(config)) {
            postProcessor->postProcess(tokens, tokens, true);
            postProcessor->postProcess(tokens, std::nullopt, false);
        }
    });
    return 0;
}
