// Shared helpers of the application's tests: reading what a test wrote to the log.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "Talkweft/Log.hpp"

namespace talkweft::cycletest {

// Remembers the log's length at construction; text() returns what was logged since.
class LogTail {
public:
    LogTail() {
        Log::flush();
        std::error_code ec;
        auto size = std::filesystem::file_size(Log::url(), ec);
        start_ = ec ? 0 : size;
    }
    std::string text() const {
        Log::flush();
        std::ifstream in(Log::url(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        std::string all = ss.str();
        return all.size() > start_ ? all.substr(start_) : std::string();
    }
    bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }
    int count(const std::string& s) const {
        std::string t = text();
        int n = 0;
        for (auto p = t.find(s); p != std::string::npos; p = t.find(s, p + 1)) ++n;
        return n;
    }

private:
    std::uintmax_t start_ = 0;
};

}  // namespace talkweft::cycletest
