// Decoding options arrive as JSON from callers: any text must decode or fail with DecodingError, and
// whatever decodes must encode and decode back to the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "ZadezarIro/Core/DecodingOptions.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zadezariro;
    const Json j = Json::parse(data, data + size, nullptr, false);
    if (j.is_discarded()) return 0;
    try {
        const auto options = DecodingOptions::fromJSON(j);
        Json encoded;
        try {
            encoded = options.toJSON();
        } catch (const EncodingError&) {
            return 0;  // a float that overflowed to infinity on reading
        }
        if (!(DecodingOptions::fromJSON(encoded) == options)) std::abort();
    } catch (const DecodingError&) {
    }
    return 0;
}
