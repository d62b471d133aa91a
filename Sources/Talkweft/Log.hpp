// The application's log: one timestamped line per call, written off the caller's thread, with the
// file rotated into one older generation ("talkweft.1.log") as soon as it is larger than 2,000,000
// bytes. No single value fills it: a long value is cut, with a note of how much was left out.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "TalkweftCore/JSONCoding.hpp"

namespace talkweft {

namespace Log {

// Longest value a caller logs whole (field texts, agent output, error texts): see cut().
inline constexpr std::size_t MAX_VALUE_BYTES = 4096;
// Longest text write() takes whole; a longer one is cut like a value.
inline constexpr std::size_t MAX_TEXT_BYTES = 16384;

// Hands one line ("<ISO 8601 UTC time> <text>\n", the time taken now) to the log's writer thread
// and returns at once. A text longer than MAX_TEXT_BYTES is cut (cut()). Never fails, never blocks
// on file work; a line that cannot be written is lost silently. Lines appear in the order of the
// calls. Thread-safe.
void write(std::string_view text);

// `value` when it has at most `limit` bytes; otherwise its first `limit` bytes or fewer (never
// splitting a UTF-8 character) followed by "… [N bytes left out]". Pure.
std::string cut(std::string_view value, std::size_t limit = MAX_VALUE_BYTES);

// The log file (Paths: the log folder + "talkweft.log"); the folder is created, with missing
// parents, the first time this is computed. Thread-safe.
const std::filesystem::path& url();

// Blocks until every line handed over before the call is in the file. For tests and shutdown.
void flush();

// The line for `text` written at `when`: "2026-12-09T08:55:47Z " + text + "\n". Pure.
std::string formatLine(Date when, std::string_view text);

}  // namespace Log

// The file side of the log: appends lines and rotates. One instance per file; not thread-safe
// (the log's writer thread owns the process's instance). Failures are ignored: a line that cannot
// be written is lost.
class LogFile {
public:
    static constexpr std::uintmax_t ROTATE_ABOVE = 2'000'000;  // bytes; exactly this size stays

    explicit LogFile(std::filesystem::path file);

    // Rotates the file first when it is larger than ROTATE_ABOVE (its size as it is on disk, so
    // the file never passes the limit by more than one line); then appends the line. A missing file
    // is created (mode 0600) with the line.
    void append(std::string_view line);

    // "talkweft.log" -> "talkweft.1.log" (the extension ".log" replaced by ".1.log").
    static std::filesystem::path rotatedPath(const std::filesystem::path& file);

    const std::filesystem::path& file() const { return file_; }

private:
    void rotate();

    std::filesystem::path file_;
};

}  // namespace talkweft
