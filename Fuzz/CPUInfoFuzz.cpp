// /proc/cpuinfo and the DMI product name as the machine reports them (a virtual machine may report
// anything): the processor blocks are counted, and every text made from them is valid UTF-8 without
// NULs or trailing line breaks.
#include <string>

#include "DaroriCore/ProcessInfo.hpp"
#include "FuzzInput.hpp"
#include "Unicode/Unicode.hpp"

namespace {
bool isCleanText(const std::string& s) {
    if (s.find('\0') != std::string::npos) return false;
    if (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) return false;
    return unicode::repairUTF8(s) == s;  // repairing changes only invalid text
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto text = fuzz::asText(data, size);
    namespace info = darori::ProcessInfo;
    const info::CPUInfo cpu = info::parseCPUInfo(text);
    std::size_t processors = 0;
    for (std::size_t at = 0; at <= text.size();) {
        const auto end = std::min(text.find('\n', at), text.size());
        const auto line = text.substr(at, end - at);
        const auto colon = line.find(':');
        if (colon != std::string_view::npos) {
            auto key = line.substr(0, colon);
            while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.remove_suffix(1);
            if (key == "processor") ++processors;
        }
        at = end + 1;
    }
    FUZZ_CHECK(cpu.logical == processors);
    for (const std::string* field : {&cpu.modelName, &cpu.vendor, &cpu.family, &cpu.coresPerPackage})
        FUZZ_CHECK(isCleanText(info::cleanSystemText(*field)));
    FUZZ_CHECK(isCleanText(info::cleanSystemText(std::string(text))));
    return 0;
}
