// The engine's process-wide leveled logger. Messages at or above the threshold go to the callback
// the host installed, or to standard error when there is none. The default threshold is none, so
// a fresh process logs nothing until the engine configuration sets a level.
//
// Thread-safe: the lock guards only the threshold and the callback and is never held while a
// message is built, the callback runs or a line is written, so a callback may itself log.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <locale>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

#include "DaroriCore/NumberText.hpp"
#include "DaroriCore/OSLog.hpp"

namespace darori {

namespace detail {
// How an item reads in a log line: text and characters as is, booleans as true/false, numbers in decimal (floats
// in their shortest form), values with description() through it, anything else through <<.
template <class T>
std::string logText(const T& item) {
    if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        return std::string(std::string_view(item));
    } else if constexpr (std::is_same_v<T, char>) {
        return std::string(1, item);  // a character, not its code
    } else if constexpr (std::is_same_v<T, bool>) {
        return item ? "true" : "false";
    } else if constexpr (std::is_same_v<T, float>) {
        return floatDescription(item);
    } else if constexpr (std::is_floating_point_v<T>) {
        return doubleDescription(static_cast<double>(item));
    } else if constexpr (std::is_integral_v<T>) {
        return std::to_string(item);
    } else if constexpr (requires { { item.description() } -> std::convertible_to<std::string>; }) {
        return item.description();
    } else {
        std::ostringstream out;
        out.imbue(std::locale::classic());
        out << item;
        return out.str();
    }
}
}  // namespace detail

class Logging {
public:
    enum class LogLevel : int { debug = 1, info = 2, error = 3, none = 4 };
    using Callback = std::function<void(const std::string&)>;

    // The level with that raw value; absent outside 1 ... 4.
    static std::optional<LogLevel> logLevel(int rawValue);

    // The one instance, made on first use (thread-safe).
    static Logging& shared();

    LogLevel logLevel() const;
    void setLogLevel(LogLevel level);
    Callback loggingCallback() const;
    void setLoggingCallback(Callback callback);

    // Joins the items' texts with `separator`, appends `terminator` when given, and hands the line
    // to the callback or standard error. The type maps to a level (debug; info and the default type
    // to info; error and fault to error); below the threshold nothing is rendered.
    template <class... Items>
    void log(OSLogType type, std::string_view separator, std::optional<std::string_view> terminator,
             const Items&... items) {
        const auto [threshold, callback] = snapshot();
        if (!passes(threshold, levelOf(type))) return;
        std::string message;
        [[maybe_unused]] bool first = true;
        (void)separator;
        ((message += (first ? std::string_view() : separator), message += detail::logText(items), first = false), ...);
        if (terminator) message += *terminator;
        emit(type, callback, message);
    }

    // The shared logger at the named level, items joined by a blank, no terminator.
    template <class... Items>
    static void debug(const Items&... items) { shared().log(OSLogType::debug, " ", std::nullopt, items...); }
    template <class... Items>
    static void info(const Items&... items) { shared().log(OSLogType::info, " ", std::nullopt, items...); }
    template <class... Items>
    static void error(const Items&... items) { shared().log(OSLogType::error, " ", std::nullopt, items...); }

    // True when the shared threshold is not none.
    static bool isLoggingEnabled() { return shared().logLevel() != LogLevel::none; }
    // True when the shared threshold is not none and `level` is at or above it.
    static bool isLoggingEnabled(LogLevel level) { return passes(shared().logLevel(), level); }
    static void updateLogLevel(LogLevel level) { shared().setLogLevel(level); }
    static void updateCallback(Callback callback) { shared().setLoggingCallback(std::move(callback)); }

    // Logs "<message> - Memory usage: <MiB> MB" at debug.
    static void logCurrentMemoryUsage(std::string_view message);
    // Resident memory of this process in MiB (from /proc/self/statm); 0 when it cannot be read.
    static std::uint64_t getMemoryUsage();
    // "%8.2f ms / %6.0f runs (%8.2f ms/run) %5.2f%%" from time × 1000, runs, the time per run in
    // ms (0 when runs is not above 0) and time × 1000 / totalMilliseconds × 100.
    static std::string formatTimeWithPercentage(double seconds, double runs, double totalMilliseconds);

    // The system-log stand-in used when no callback is installed.
    const Logger& logger() const { return logger_; }

private:
    Logging();
    struct State {
        LogLevel logLevel = LogLevel::none;
        Callback loggingCallback;
    };
    static LogLevel levelOf(OSLogType type);
    static bool passes(LogLevel threshold, LogLevel level) {
        return threshold != LogLevel::none && static_cast<int>(level) >= static_cast<int>(threshold);
    }
    State snapshot() const;
    void emit(OSLogType type, const Callback& callback, const std::string& message) const;

    mutable std::mutex mutex_;
    State state_;  // guarded by mutex_
    Logger logger_;
};

}  // namespace darori
