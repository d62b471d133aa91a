#include "ZadezarIro/Core/Audio/IncrementalLoadController.hpp"

#include <algorithm>

namespace zadezariro {

void IncrementalLoadController::requestChunkSlot() {
    std::unique_lock lock(mutex_);
    if (terminated_) return;
    if (activeChunks_ < maxBufferedChunks_ && waiting_.empty()) {
        ++activeChunks_;
        return;
    }
    const std::uint64_t ticket = nextTicket_++;
    waiting_.push_back(ticket);
    changed_.wait(lock, [&] {
        return terminated_ || (waiting_.front() == ticket && activeChunks_ < maxBufferedChunks_);
    });
    if (terminated_) return;
    waiting_.pop_front();
    ++activeChunks_;
    changed_.notify_all();
}

void IncrementalLoadController::releaseChunkSlot() {
    std::lock_guard lock(mutex_);
    if (activeChunks_ == 0) return;
    --activeChunks_;
    changed_.notify_all();
}

void IncrementalLoadController::resumeWaitingProducers() {
    std::lock_guard lock(mutex_);
    terminated_ = true;
    waiting_.clear();
    changed_.notify_all();
}

std::int64_t IncrementalLoadController::activeChunks() const {
    std::lock_guard lock(mutex_);
    return activeChunks_;
}

std::size_t IncrementalLoadController::waitingProducers() const {
    std::lock_guard lock(mutex_);
    return waiting_.size();
}

bool IncrementalLoadController::isTerminated() const {
    std::lock_guard lock(mutex_);
    return terminated_;
}

}  // namespace zadezariro
