#include "DaroriCore/External/Hub/Progress.hpp"

#include <algorithm>

namespace darori {

std::int64_t Progress::completedUnitCount() const {
    std::int64_t count = completed_;
    for (const auto& [child, pending] : children_) {
        if (child->isFinished()) count += pending;
    }
    return count;
}

double Progress::fractionCompleted() const {
    if (totalUnitCount_ <= 0) return 0;
    double units = static_cast<double>(completed_);
    for (const auto& [child, pending] : children_) {
        units += child->isFinished() ? static_cast<double>(pending)
                                     : static_cast<double>(pending) * std::clamp(child->fractionCompleted(), 0.0, 1.0);
    }
    return std::clamp(units / static_cast<double>(totalUnitCount_), 0.0, 1.0);
}

void Progress::addChild(std::shared_ptr<Progress> child, std::int64_t pendingUnitCount) {
    children_.emplace_back(std::move(child), pendingUnitCount);
}

}  // namespace darori
