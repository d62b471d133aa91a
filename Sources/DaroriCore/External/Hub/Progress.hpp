// A hierarchical progress count in place of the platform's progress object: a total and a
// completed unit count, children that each stand for a number of the parent's units (their
// pending count), and a throughput figure. Not thread-safe: one task updates and reads it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace darori {

class Progress {
public:
    explicit Progress(std::int64_t totalUnitCount = 0) : totalUnitCount_(totalUnitCount) {}

    std::int64_t totalUnitCount() const { return totalUnitCount_; }
    void setTotalUnitCount(std::int64_t count) { totalUnitCount_ = count; }
    // Own completed units plus the pending units of every finished child.
    std::int64_t completedUnitCount() const;
    void setCompletedUnitCount(std::int64_t count) { completed_ = count; }
    // Completed share from 0 to 1, counting unfinished children by their own fraction; 0 for a
    // total of 0.
    double fractionCompleted() const;
    bool isFinished() const { return totalUnitCount_ > 0 && completedUnitCount() >= totalUnitCount_; }

    // Attaches `child` as `pendingUnitCount` of this progress's units.
    void addChild(std::shared_ptr<Progress> child, std::int64_t pendingUnitCount);

    // Bytes per second, when a transfer reported one.
    std::optional<double> throughput;

private:
    std::int64_t totalUnitCount_;
    std::int64_t completed_ = 0;
    std::vector<std::pair<std::shared_ptr<Progress>, std::int64_t>> children_;
};

}  // namespace darori
