// Desktop entry files as found in the applications folders (any bytes): parsing never fails, and
// the values it keeps are single lines.
#include "FuzzInput.hpp"
#include "Platform/Linux/LinuxWorkspace.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input = fuzz::asText(data, size);
    const auto entry = talkweft::platform::linuxdesktop::parseDesktopEntry(input, "fuzz");
    if (entry) {
        FUZZ_CHECK(entry->id == "fuzz");
        FUZZ_CHECK(entry->name.find('\n') == std::string::npos && entry->startupWMClass.find('\n') == std::string::npos);
    }
    return 0;
}
