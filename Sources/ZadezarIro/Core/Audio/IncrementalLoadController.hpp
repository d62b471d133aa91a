// The slots of one incremental file stream: at most maxBufferedChunks chunks handed out and not
// released. Producers wait for a slot first come, first served; termination wakes every waiter for
// good. Thread-safe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace zadezariro {

class IncrementalLoadController {
public:
    explicit IncrementalLoadController(std::int64_t maxBufferedChunks) : maxBufferedChunks_(maxBufferedChunks) {}

    // Takes a slot, blocking while none is free; returns at once (without a slot) once terminated.
    void requestChunkSlot();
    // Gives a slot back and lets the oldest waiter take it; no effect when no slot is taken.
    void releaseChunkSlot();
    // Ends all waiting for good.
    void resumeWaitingProducers();

    std::int64_t activeChunks() const;
    // Producers blocked in requestChunkSlot().
    std::size_t waitingProducers() const;
    bool isTerminated() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::int64_t maxBufferedChunks_;
    std::int64_t activeChunks_ = 0;
    std::uint64_t nextTicket_ = 0;
    std::deque<std::uint64_t> waiting_;  // tickets, oldest first
    bool terminated_ = false;
};

}  // namespace zadezariro
