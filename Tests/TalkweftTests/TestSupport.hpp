// Shared pieces of the application tests: temporary folders, a simulated desktop installed as the
// current platform, and reading what the log received.
//
// Every test program that links TestSupport.cpp points the application's folders (support, log,
// config, screenshots) into one private temporary folder before any test runs, so no test touches
// the user's real files.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "Platform/Headless/Desktop.hpp"

namespace talkweft::testing {

// A fresh folder below the system's temporary folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The temporary folder that holds this test program's application folders.
const std::filesystem::path& testRoot();

// Writes `text` to `file` (creating parent folders).
void writeFile(const std::filesystem::path& file, const std::string& text);
// The file's bytes; empty when unreadable.
std::string readFile(const std::filesystem::path& file);

// Marks the end of the log so far; since() gives the lines written after the mark.
class LogMark {
public:
    LogMark();
    // Flushes the log and returns what was appended since the mark.
    std::string since() const;

private:
    std::uintmax_t offset_;
};

// A simulated desktop installed as the current platform for the lifetime of the fixture, with
// one app (pid 100, "org.example.Editor", "Editor") in front, a window "Notes" and a focused text
// field in it.
struct DesktopFixture {
    DesktopFixture();
    ~DesktopFixture();

    platform::headless::Desktop desktop;
    std::unique_ptr<platform::ScopedPlatform> scope;
    std::shared_ptr<platform::headless::AppNode> app;
    std::shared_ptr<platform::headless::Node> window;
    std::shared_ptr<platform::headless::TextField> field;
};

}  // namespace talkweft::testing
