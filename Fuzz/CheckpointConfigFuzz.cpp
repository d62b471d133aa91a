// The checkpoint's JSON files: config.json with generation_config.json, and the shard index. Each
// is read or refused with mlruntime::Error, never anything else; what is read obeys the limits the
// runtime relies on. Input: config.json, NUL, generation_config.json, NUL, the shard index.
#include "FuzzInput.hpp"
#include "MLRuntime/Error.hpp"
#include "MLRuntime/WhisperCheckpoint.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace mlruntime::whisper;
    const auto parts = fuzz::splitInput(fuzz::asText(data, size), 3);
    try {
        const auto config = CheckpointConfig::parse(parts[0], parts[1]);
        FUZZ_CHECK(config.width > 0 && config.width <= MAX_WIDTH);
        FUZZ_CHECK(config.encoderHeads > 0 && config.width % config.encoderHeads == 0);
        FUZZ_CHECK(config.decoderHeads > 0 && config.width % config.decoderHeads == 0);
        FUZZ_CHECK(config.decoderLayers * config.width * config.textContext <= MAX_CACHE_ELEMENTS);
        const auto decoder = config.decoder();
        FUZZ_CHECK(!decoder.alignmentHeads.empty());
        for (auto [layer, head] : decoder.alignmentHeads)
            FUZZ_CHECK(layer >= 0 && layer < decoder.layers && head >= 0 && head < decoder.heads);
    } catch (const mlruntime::Error&) {
    }
    try {
        for (const auto& [tensor, shard] : parseShardIndex(parts[2])) {
            FUZZ_CHECK(!shard.empty() && shard != "." && shard != "..");
            FUZZ_CHECK(shard.find('/') == std::string::npos && shard.find('\0') == std::string::npos);
        }
    } catch (const mlruntime::Error&) {
    }
    return 0;
}
