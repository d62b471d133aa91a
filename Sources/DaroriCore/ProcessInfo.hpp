// The machine's processor and hardware model names. On Linux the processor details come from
// /proc/cpuinfo and the hardware model from /sys/class/dmi/id. Each property is read once per
// process on first use (thread-safe) and is an empty text when the system does not say.
#pragma once

#include <string>
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

}  // namespace darori::ProcessInfo
