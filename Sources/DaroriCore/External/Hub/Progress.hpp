// A hierarchical progress count in place of the platform's progress object: a total and a
// completed unit count, children that each stand for a number of the parent's units (their
// pending count), and a throughput figure.
//
// Thread-safe: the counts and the children are kept under the object's lock, so one task may
// advance a child while another reads the parent. A child must not be added to its own subtree.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace darori {

class Progress {
public:
    explicit Progress(std::int64_t totalUnitCount = 0) : totalUnitCount_(totalUnitCount) {}
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    std::int64_t totalUnitCount() const;
    void setTotalUnitCount(std::int64_t count);
    // Own completed units plus the pending units of every finished child.
    std::int64_t completedUnitCount() const;
    void setCompletedUnitCount(std::int64_t count);
    // Completed share from 0 to 1, counting unfinished children by their own fraction; 0 for a
    // total of 0.
    double fractionCompleted() const;
    bool isFinished() const;

    // Attaches `child` as `pendingUnitCount` of this progress's units.
    void addChild(std::shared_ptr<Progress> child, std::int64_t pendingUnitCount);

    // Bytes per second, when a transfer reported one. Written by the one task that runs the transfer.
    std::optional<double> throughput;

private:
    mutable std::mutex mutex_;
    std::int64_t totalUnitCount_;                                                 // guarded by mutex_
    std::int64_t completed_ = 0;                                                  // guarded by mutex_
    std::vector<std::pair<std::shared_ptr<Progress>, std::int64_t>> children_;  // guarded by mutex_
};

}  // namespace darori
