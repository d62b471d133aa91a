// The reply text shown in the panel: inline Markdown on arbitrary bytes parses or is refused, and
// refused text is shown as it is.
#include "FuzzInput.hpp"
#include "Talkweft/HUDView.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text = fuzz::asText(data, size);
    const auto runs = talkweft::parseInlineMarkdown(text);
    if (runs) {
        std::size_t bytes = 0;
        for (const auto& run : *runs) bytes += run.text.size();
        FUZZ_CHECK(bytes <= text.size());  // markers and escapes are dropped, nothing is added
    }
    const auto shown = talkweft::calcReplyText(text);
    FUZZ_CHECK(runs ? shown == *runs : shown.size() == 1 && shown[0].text == text);
    return 0;
}
