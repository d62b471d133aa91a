// Our stand-in for the system's unified log and signposts: a Logger writes one line per message to
// standard error; a Signposter measures cheap named intervals and keeps per-name totals that feed
// the timing figures. Both are thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace darori {

// The message types of the system log.
enum class OSLogType { defaultType, info, debug, error, fault };

class Logger {
public:
    Logger(std::string subsystem, std::string category)
        : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }
    // Every type is enabled: filtering by level happens before a message gets here.
    bool isEnabled(OSLogType) const { return true; }
    // Writes the message and a line break to standard error in one write; never fails.
    void log(OSLogType type, std::string_view message) const;

private:
    std::string subsystem_;
    std::string category_;
};

// One open interval: its name and start time. Ended with Signposter::endInterval.
struct SignpostIntervalState {
    std::string name;
    std::chrono::steady_clock::time_point start;
};

class Signposter {
public:
    struct Totals {
        std::uint64_t count = 0;
        double seconds = 0;
    };

    Signposter(std::string subsystem, std::string category)
        : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

    // Starts an interval named `name`; costs one clock read.
    SignpostIntervalState beginInterval(std::string_view name) const;
    // Ends it: adds its duration to the totals of its name. Returns the duration in seconds.
    double endInterval(const SignpostIntervalState& state);
    // Count and summed seconds per interval name, by name.
    std::map<std::string, Totals> totals() const;

private:
    std::string subsystem_;
    std::string category_;
    mutable std::mutex mutex_;
    std::map<std::string, Totals, std::less<>> totals_;  // guarded by mutex_
};

}  // namespace darori
