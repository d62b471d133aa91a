// Shared test helpers: capture the engine log, and a temporary folder removed after the test.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DaroriCore/Logging.hpp"

namespace zadezariro::testsupport {

// Collects every engine log line at `level` and above for one test; restores the fresh-process
// state (no callback, level none) afterwards.
struct LogCapture {
    std::vector<std::string> lines;
    explicit LogCapture(darori::Logging::LogLevel level = darori::Logging::LogLevel::debug) {
        darori::Logging::updateCallback([this](const std::string& line) { lines.push_back(line); });
        darori::Logging::updateLogLevel(level);
    }
    ~LogCapture() {
        darori::Logging::updateCallback(nullptr);
        darori::Logging::updateLogLevel(darori::Logging::LogLevel::none);
    }
};

struct TempDir {
    std::filesystem::path path;
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zadezariro-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace zadezariro::testsupport
