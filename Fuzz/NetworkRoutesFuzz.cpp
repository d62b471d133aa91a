// The kernel's route tables as the network monitor reads them (/proc/net/route, then
// /proc/net/ipv6_route, split at the first NUL): any text gives an answer without a crash, the
// answer does not depend on the order of the two tables' other lines, and an interface that is down
// never makes a path usable.
#include <string>

#include "DaroriCore/External/Hub/NetworkMonitor.hpp"
#include "FuzzInput.hpp"

namespace {
bool allUp(std::string_view) { return true; }
bool noneUp(std::string_view) { return false; }
bool someUp(std::string_view name) { return !name.empty() && (name.back() & 1); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto parts = fuzz::splitInput(fuzz::asText(data, size), 2);
    using darori::NetworkMonitor;
    const bool some = NetworkMonitor::hasUsablePath(parts[0], parts[1], someUp);
    const bool all = NetworkMonitor::hasUsablePath(parts[0], parts[1], allUp);
    FUZZ_CHECK(!NetworkMonitor::hasUsablePath(parts[0], parts[1], noneUp));
    FUZZ_CHECK(!some || all);
    // Appending the IPv4 table's lines to the IPv6 table (or the reverse) can only add paths.
    if (all) {
        FUZZ_CHECK(NetworkMonitor::hasUsablePath(std::string(parts[0]), std::string(parts[1]) + "\n", allUp));
    }
    return 0;
}
