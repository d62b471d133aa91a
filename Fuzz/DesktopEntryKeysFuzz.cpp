// The desktop-entry key reader and writer (the autostart entry and the installed launcher are
// written with them, their values taken from paths and names we do not choose): whatever a file
// holds, the keys read from it are read back unchanged from the file written from them; and any
// value, written under one of our key names, comes back byte for byte.
#include <string>
#include <vector>

#include "FuzzInput.hpp"
#include "Platform/DesktopEntries.hpp"

using talkweft::platform::DesktopEntryKey;
using talkweft::platform::formatDesktopEntry;
using talkweft::platform::readDesktopEntryKeys;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto text = fuzz::asText(data, size);
    if (const auto keys = readDesktopEntryKeys(text)) {
        const auto again = readDesktopEntryKeys(formatDesktopEntry(*keys));
        FUZZ_CHECK(again && *again == *keys);
    }
    const auto parts = fuzz::splitInput(text, 3);
    const std::vector<DesktopEntryKey> ours{{"Type", "Application"},
                                            {"Name", std::string(parts[0])},
                                            {"Exec", std::string(parts[1])},
                                            {"Comment", std::string(parts[2])}};
    const auto back = readDesktopEntryKeys(formatDesktopEntry(ours));
    FUZZ_CHECK(back && *back == ours);
    return 0;
}
