// The application's log: one timestamped line per call, written off the caller's thread, with the
// file rotated into one older generation ("talkweft.1.log") when it grows past 2,000,000 bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "TalkweftCore/JSONCoding.hpp"

namespace talkweft {

namespace Log {

// Hands one line ("<ISO 8601 UTC time> <text>\n", the time taken now) to the log's writer thread
// and returns at once. Never fails, never blocks on file work; a line that cannot be written is
// lost silently. Lines appear in the order of the calls. Thread-safe.
void write(std::string_view text);

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
    static constexpr std::int64_t CHECK_EVERY = 200;          // lines between size checks

    explicit LogFile(std::filesystem::path file);

    // Before every CHECK_EVERY-th line (the first one included) rotates a file larger than
    // ROTATE_ABOVE; then appends the line. A missing file is created (mode 0600) with the line.
    void append(std::string_view line);

    // "talkweft.log" -> "talkweft.1.log" (the extension ".log" replaced by ".1.log").
    static std::filesystem::path rotatedPath(const std::filesystem::path& file);

    const std::filesystem::path& file() const { return file_; }

private:
    void rotate();

    std::filesystem::path file_;
    std::int64_t writes_ = 0;
};

}  // namespace talkweft
