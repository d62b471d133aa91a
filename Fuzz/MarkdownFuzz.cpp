// The reply text shown in the panel: inline Markdown on arbitrary bytes parses or is refused, and
// the reply's runs are always produced.
#include "FuzzInput.hpp"
#include "Talkweft/HUDView.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text = fuzz::asText(data, size);
    if (const auto runs = talkweft::parseInlineMarkdown(text)) {
        std::size_t bytes = 0;
        for (const auto& run : *runs) bytes += run.text.size();
        FUZZ_CHECK(bytes <= text.size());  // markers and escapes are dropped, nothing is added
    }
    FUZZ_CHECK(!talkweft::calcReplyText(text).empty() || text.empty());
    return 0;
}
