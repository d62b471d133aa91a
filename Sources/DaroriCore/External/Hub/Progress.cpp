#include "DaroriCore/External/Hub/Progress.hpp"

#include <algorithm>

namespace darori {

std::int64_t Progress::totalUnitCount() const {
    std::lock_guard guard(mutex_);
    return totalUnitCount_;
}

void Progress::setTotalUnitCount(std::int64_t count) {
    std::lock_guard guard(mutex_);
    totalUnitCount_ = count;
}

void Progress::setCompletedUnitCount(std::int64_t count) {
    std::lock_guard guard(mutex_);
    completed_ = count;
}

std::int64_t Progress::completedUnitCount() const {
    std::lock_guard guard(mutex_);
    std::int64_t count = completed_;
    for (const auto& [child, pending] : children_) {
        if (child->isFinished()) count += pending;
    }
    return count;
}

bool Progress::isFinished() const {
    const std::int64_t total = totalUnitCount();
    return total > 0 && completedUnitCount() >= total;
}

double Progress::fractionCompleted() const {
    std::lock_guard guard(mutex_);
    if (totalUnitCount_ <= 0) return 0;
    double units = static_cast<double>(completed_);
    for (const auto& [child, pending] : children_) {
        units += child->isFinished() ? static_cast<double>(pending)
                                     : static_cast<double>(pending) * std::clamp(child->fractionCompleted(), 0.0, 1.0);
    }
    return std::clamp(units / static_cast<double>(totalUnitCount_), 0.0, 1.0);
}

void Progress::addChild(std::shared_ptr<Progress> child, std::int64_t pendingUnitCount) {
    std::lock_guard guard(mutex_);
    children_.emplace_back(std::move(child), pendingUnitCount);
}

}  // namespace darori
