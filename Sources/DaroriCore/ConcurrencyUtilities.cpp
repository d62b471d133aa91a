#include "DaroriCore/ConcurrencyUtilities.hpp"

#include <unistd.h>

namespace darori {

int ConcurrencyUtilities::activeProcessorCount() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

void EarlyStopActor::set(bool flag, const UUID& run) {
    std::lock_guard guard(mutex_);
    shouldStop_[run] = flag;
}

bool EarlyStopActor::get(const UUID& run) const {
    std::lock_guard guard(mutex_);
    const auto it = shouldStop_.find(run);
    return it != shouldStop_.end() && it->second;
}

std::optional<bool> EarlyStopActor::remove(const UUID& run) {
    std::lock_guard guard(mutex_);
    const auto it = shouldStop_.find(run);
    if (it == shouldStop_.end()) return std::nullopt;
    const bool flag = it->second;
    shouldStop_.erase(it);
    return flag;
}

}  // namespace darori
