// A resumed download's Content-Range answer, as the server sends it: never a negative start, never
// more than the digits after the unit say; and a well-formed range gives its start back.
#include <cctype>
#include <string>

#include "DaroriCore/External/Hub/Downloader.hpp"
#include "FuzzInput.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text = fuzz::asText(data, size);
    const std::string value(text);
    if (const auto start = darori::contentRangeStart(value)) {
        FUZZ_CHECK(*start >= 0);
        const auto space = value.find(' ');
        FUZZ_CHECK(space != std::string::npos && space + 1 < value.size() &&
                   std::isdigit(static_cast<unsigned char>(value[space + 1])));
    }
    const std::int64_t first = fuzz::takeInteger(text) & INT64_MAX;
    const std::int64_t last = fuzz::takeInteger(text) & INT64_MAX;
    const auto well = "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/*";
    FUZZ_CHECK(darori::contentRangeStart(well) == first);
    return 0;
}
