// A URL command as the running instance reads it: its components, query items and delay.
#include "FuzzInput.hpp"
#include "Talkweft/AppDelegate.hpp"
#include "TalkweftCore/URLComponents.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string url(fuzz::asText(data, size));
    const auto components = talkweft::parseURLComponents(url);
    const auto items = talkweft::calcQueryItems(url);
    if (items) {
        for (const auto& [name, value] : *items) {
            const double delay = talkweft::calcURLDelay(value);
            FUZZ_CHECK(delay >= 0 && delay <= talkweft::MAX_URL_DELAY_SECONDS);
        }
    }
    const double delay = talkweft::calcURLDelay(url);
    FUZZ_CHECK(delay >= 0 && delay <= talkweft::MAX_URL_DELAY_SECONDS);
    return 0;
}
