#include "DaroriCore/Logging.hpp"

#include <cmath>
#include <cstdio>
#include <fstream>

#include <unistd.h>

namespace darori {

namespace {
// The system-log subsystem of the engine: there is no application bundle identifier on Linux.
constexpr const char* SUBSYSTEM = "org.talkweft.darori";
}  // namespace

Logging::Logging() : logger_(SUBSYSTEM, "Darori") {}

Logging& Logging::shared() {
    static Logging instance;
    return instance;
}

std::optional<Logging::LogLevel> Logging::logLevel(int rawValue) {
    if (rawValue < 1 || rawValue > 4) return std::nullopt;
    return static_cast<LogLevel>(rawValue);
}

Logging::LogLevel Logging::logLevel() const {
    std::lock_guard guard(mutex_);
    return state_.logLevel;
}

void Logging::setLogLevel(LogLevel level) {
    std::lock_guard guard(mutex_);
    state_.logLevel = level;
}

Logging::Callback Logging::loggingCallback() const {
    std::lock_guard guard(mutex_);
    return state_.loggingCallback;
}

void Logging::setLoggingCallback(Callback callback) {
    Callback old;
    std::lock_guard guard(mutex_);
    std::swap(old, state_.loggingCallback);
    state_.loggingCallback = std::move(callback);
}

Logging::LogLevel Logging::levelOf(OSLogType type) {
    switch (type) {
    case OSLogType::debug: return LogLevel::debug;
    case OSLogType::error:
    case OSLogType::fault: return LogLevel::error;
    default: return LogLevel::info;
    }
}

Logging::State Logging::snapshot() const {
    std::lock_guard guard(mutex_);
    return state_;
}

void Logging::emit(OSLogType type, const Callback& callback, const std::string& message) const {
    if (callback) {
        callback(message);
    } else if (logger_.isEnabled(type)) {
        logger_.log(type, message);
    }
}

std::uint64_t Logging::getMemoryUsage() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t sizePages = 0, residentPages = 0;
    if (!(statm >> sizePages >> residentPages)) return 0;
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pageSize <= 0) return 0;
    return (residentPages * static_cast<std::uint64_t>(pageSize)) >> 20;
}

void Logging::logCurrentMemoryUsage(std::string_view message) {
    std::string line(message);
    line += " - Memory usage: ";
    line += std::to_string(getMemoryUsage());
    line += " MB";
    shared().log(OSLogType::debug, " ", std::nullopt, line);
}

std::string Logging::formatTimeWithPercentage(double seconds, double runs, double totalMilliseconds) {
    const double ms = seconds * 1000;
    const double perRun = runs > 0 ? ms / runs : 0;
    double percent = ms / totalMilliseconds * 100;
    // 0/0 is a NaN with the sign bit set on x86, which printf writes as "-nan".
    if (std::isnan(percent)) percent = std::copysign(percent, 1.0);
    return fixedText(ms, 2, 8) + " ms / " + fixedText(runs, 0, 6) + " runs (" + fixedText(perRun, 2, 8) + " ms/run) " +
           fixedText(percent, 2, 5) + "%";
}

}  // namespace darori
