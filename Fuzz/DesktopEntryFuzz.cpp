// Desktop files come from whatever packages are installed: parsing one never crashes, and a line
// break added at the end changes nothing (the last line may lack its own).
#include "FuzzInput.hpp"
#include "Platform/DesktopEntries.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto text = fuzz::asText(data, size);
    const auto entry = talkweft::platform::parseDesktopEntry(text, "fuzz");
    FUZZ_CHECK(!entry || entry->id == "fuzz");
    FUZZ_CHECK(talkweft::platform::parseDesktopEntry(std::string(text) + "\n", "fuzz") == entry);
    return 0;
}
