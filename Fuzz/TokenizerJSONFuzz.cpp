// Builds a tokenizer from arbitrary tokenizer.json bytes (the first byte picks the tokenizer
// class) and, when that succeeds, encodes and decodes a short text with it. Construction may
// throw; nothing may crash or hang.
#include <cstdint>
#include <string>

#include "DaroriCore/External/Hub/Config.hpp"
#include "DaroriCore/External/Tokenizers/AutoTokenizer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const char* classes[] = {"WhisperTokenizer", "BertTokenizer", "XLMRobertaTokenizer", "LlamaTokenizer"};
    const std::string className = classes[data[0] % 4];
    const bool legacy = data[0] & 4;
    nlohmann::ordered_json parsed = nlohmann::ordered_json::parse(data + 1, data + size, nullptr, false);
    if (parsed.is_discarded()) return 0;
    try {
        const darori::Config config = darori::Config::convertToBinaryDistinctKeys(nlohmann::ordered_json{
            {"tokenizer_class", className}, {"legacy", legacy}, {"add_bos_token", true}, {"bos_token", "<s>"}});
        const darori::Config tokenizerData = darori::Config::convertToBinaryDistinctKeys(parsed);
        auto tokenizer = darori::AutoTokenizer::tokenizerClass(config).make(config, tokenizerData, true);
        const auto ids = tokenizer->encode("Hello, w\xC3\xB6rld! 12 <s> \xE2\x96\x81x  \n");
        (void)tokenizer->decode(ids, true);
        (void)tokenizer->decode({-1, 0, 1, 2, 3, 1 << 30});
    } catch (const std::exception&) {
    }
    return 0;
}
