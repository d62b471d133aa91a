// The settings decoder on arbitrary text: it decodes or throws DecodingError, and what it decodes
// survives a round trip through its own JSON.
#include "FuzzInput.hpp"
#include "TalkweftCore/JSONCoding.hpp"
#include "TalkweftCore/Settings.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    talkweft::Settings settings;
    try {
        settings = talkweft::Settings::fromJSONText(fuzz::asText(data, size));
    } catch (const talkweft::DecodingError&) {
        return 0;
    }
    const auto json = settings.toJSON();
    FUZZ_CHECK(talkweft::Settings::fromJSON(json) == settings);
    FUZZ_CHECK(talkweft::Settings::fromJSONText(json.dump()) == settings);
    return 0;
}
