// Stored transcription results are read back from JSON files: any text must decode or fail with
// DecodingError; a decoded result must encode and read back to the same segments.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "ZadezarIro/Core/TranscriptionResult.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zadezariro;
    const Json j = Json::parse(data, data + size, nullptr, false);
    if (j.is_discarded()) return 0;
    try {
        const auto result = TranscriptionResult::fromJSON(j);
        Json encoded;
        try {
            encoded = result->toJSON();
        } catch (const EncodingError&) {
            return 0;
        }
        if (!(TranscriptionResult::fromJSON(encoded)->segments() == result->segments())) std::abort();
    } catch (const DecodingError&) {
    }
    try {
        (void)TranscriptionResultStruct::fromJSON(j);
    } catch (const DecodingError&) {
    }
    return 0;
}
