// The edit-range helpers on arbitrary field text, find text and caret: a found range holds text
// canonically equal to the find text and can be replaced; any range is either applied or refused.
// Input: 8 bytes of caret offset, then text, NUL, find, NUL, replacement.
#include "FuzzInput.hpp"
#include "TalkweftCore/TextOps.hpp"
#include "Unicode/Unicode.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input = fuzz::asText(data, size);
    const std::int64_t near = fuzz::takeInteger(input);
    const auto parts = fuzz::splitInput(input, 3);
    const std::string_view text = parts[0], find = parts[1], replace = parts[2];
    const auto total = static_cast<std::int64_t>(unicode::utf16Length(text));

    if (const auto range = talkweft::calcEditRange(text, find, near)) {
        FUZZ_CHECK(range->location >= 0 && range->length >= 0 && range->location + range->length <= total);
        const std::string found = unicode::utf16Substring(text, static_cast<std::size_t>(range->location),
                                                          static_cast<std::size_t>(range->length));
        FUZZ_CHECK(unicode::canonicallyEqual(found, find));
        const auto edited = talkweft::calcAppliedEdit(text, *range, replace);
        FUZZ_CHECK(edited.has_value());
        // Bad bytes on either side of a seam may join into one character, so lengths add up only for valid text.
        if (unicode::repairUTF8(text) == text && unicode::repairUTF8(replace) == replace)
            FUZZ_CHECK(unicode::utf16Length(*edited) == static_cast<std::size_t>(total - range->length) + unicode::utf16Length(replace));
    }

    // An arbitrary range: applied within the text, refused outside it.
    const talkweft::UTF16Range any{near % (total + 2), (near >> 32) % (total + 2)};
    if (const auto edited = talkweft::calcAppliedEdit(text, any, replace))
        FUZZ_CHECK(any.location >= 0 && any.length >= 0 && any.location + any.length <= total);

    talkweft::calcDictationText(find, std::string(text));
    talkweft::AppContext ctx;
    ctx.fieldText = std::string(text);
    ctx.fieldTextBase = near >> 16;
    ctx.selection = talkweft::UTF16Range{near, 0};
    if (const auto before = talkweft::calcTextBeforeCaret(ctx)) FUZZ_CHECK(text.substr(0, before->size()) == *before);
    talkweft::isLikelyHallucination(text);
    return 0;
}
