#include "DaroriCore/OSLog.hpp"

#include <unistd.h>

namespace darori {

void Logger::log(OSLogType, std::string_view message) const {
    std::string line(message);
    line += '\n';
    // One write call so concurrent lines do not interleave.
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n <= 0) return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

SignpostIntervalState Signposter::beginInterval(std::string_view name) const {
    return SignpostIntervalState{std::string(name), std::chrono::steady_clock::now()};
}

double Signposter::endInterval(const SignpostIntervalState& state) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - state.start).count();
    std::lock_guard guard(mutex_);
    auto it = totals_.find(state.name);
    if (it == totals_.end()) it = totals_.emplace(state.name, Totals{}).first;
    it->second.count += 1;
    it->second.seconds += seconds;
    return seconds;
}

std::map<std::string, Signposter::Totals> Signposter::totals() const {
    std::lock_guard guard(mutex_);
    return {totals_.begin(), totals_.end()};
}

}  // namespace darori
