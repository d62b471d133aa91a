// A context folder's "context.json" and each line of its "log.jsonl", as the history store reads
// them back (the files may have been edited or cut short): decoding either succeeds or throws
// DecodingError, and what decodes survives its own encoding unchanged.
#include "FuzzInput.hpp"
#include "TalkweftCore/History.hpp"
#include "TalkweftCore/HistoryEntry.hpp"

using talkweft::ContextRecord;
using talkweft::DecodingError;
using talkweft::HistoryEntry;
namespace jsoncoding = talkweft::jsoncoding;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto text = fuzz::asText(data, size);
    try {
        const ContextRecord record = ContextRecord::fromJSON(jsoncoding::parse(text));
        const auto again = ContextRecord::fromJSON(jsoncoding::parse(record.toJSON().dump()));
        FUZZ_CHECK(again == record);
    } catch (const DecodingError&) {
    }
    try {
        const HistoryEntry entry = HistoryEntry::fromJSON(jsoncoding::parse(text));
        const auto again = HistoryEntry::fromJSON(jsoncoding::parse(entry.toJSON().dump()));
        FUZZ_CHECK(again == entry);
    } catch (const DecodingError&) {
    }
    return 0;
}
