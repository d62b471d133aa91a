// The machine's processor and hardware model names. On Linux the processor details come from
// /proc/cpuinfo and the hardware model from /sys/class/dmi/id. Each property is read once per
// process on first use (thread-safe) and is an empty text when the system does not say.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <utility>
#include <string_view>

namespace darori::ProcessInfo {

const std::string& processor();  // "machdep.cpu.brand_string": the CPU model name
const std::string& cores();      // "machdep.cpu.core_count": physical cores
const std::string& threads();    // "machdep.cpu.thread_count": logical processors
const std::string& vendor();     // "machdep.cpu.vendor"
const std::string& family();     // "machdep.cpu.family"
const std::string& hwModel();    // "hw.model": the DMI product name, "unknown" when there is none

// The value of a system-control name: the six names above map to their Linux sources; any other
// dotted name ("kernel.ostype") is read from /proc/sys (dots become folders). Invalid UTF-8 is
// repaired, trailing line breaks dropped. Empty for a name the system does not know or that is
// not a plain dotted name. Reads the file system on every call; thread-safe.
std::string stringFromSysctl(std::string_view name);

// What the "key : value" lines of /proc/cpuinfo say (one block per logical processor); the first
// block's model name, vendor, family and cores per package. Pure; exposed for tests.
struct CPUInfo {
    std::string modelName, vendor, family;
    std::size_t logical = 0;                                       // "processor" lines
    std::set<std::pair<std::string, std::string>> physicalCores;  // (physical id, core id)
    std::string coresPerPackage;
};
CPUInfo parseCPUInfo(std::string_view text);

// A system file's text as a property value: cut at its first NUL, trailing line breaks and blanks
// dropped, invalid UTF-8 repaired.
std::string cleanSystemText(std::string text);

}  // namespace darori::ProcessInfo
