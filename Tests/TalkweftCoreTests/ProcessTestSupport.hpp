// Helpers for tests that run real child processes: a temporary folder, executable scripts, and
// checks that a process is gone.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace talkweft::testing {

// Sets (or, with a null value, unsets) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) ::setenv(name, value, 1);
        else ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_) ::setenv(name_, old_->c_str(), 1);
        else ::unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// Makes this process a child subreaper for one scope (orphaned descendants become our children).
class ScopedSubreaper {
public:
    ScopedSubreaper() {
        ::prctl(PR_GET_CHILD_SUBREAPER, &old_, 0, 0, 0);
        ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    }
    ~ScopedSubreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, old_, 0, 0, 0); }
    ScopedSubreaper(const ScopedSubreaper&) = delete;
    ScopedSubreaper& operator=(const ScopedSubreaper&) = delete;

private:
    int old_ = 0;
};

// A fresh folder below the system's temporary folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir() {
        std::random_device rd;
        for (;;) {
            path_ = std::filesystem::temp_directory_path() / ("talkweft-test-" + std::to_string(rd()));
            if (std::filesystem::create_directory(path_)) break;
        }
        path_ = std::filesystem::canonical(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// Writes a /bin/sh script with the given body and makes it executable; returns its path.
inline std::string writeScript(const std::filesystem::path& path, const std::string& body) {
    writeFile(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
    return path.string();
}

// True while a process with this pid exists and is not a zombie.
inline bool processRunning(long pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

// A process watched from while it is known to run (through a pidfd): its end is an event to wait
// for, and a later look cannot be fooled by its pid being reused.
class ProcessWatch {
public:
    explicit ProcessWatch(long pid) : pid_(pid) {
#ifdef SYS_pidfd_open
        fd_ = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
        gone_ = fd_ < 0 && errno == ESRCH;
#endif
    }
    ~ProcessWatch() {
        if (fd_ >= 0) ::close(fd_);
    }
    ProcessWatch(const ProcessWatch&) = delete;
    ProcessWatch& operator=(const ProcessWatch&) = delete;

    // True once the process has exited (a zombie counts), waiting at most `limit` for it.
    bool waitForExit(std::chrono::milliseconds limit = std::chrono::seconds(30)) const {
        if (gone_) return true;
        if (fd_ >= 0) {
            pollfd p{fd_, POLLIN, 0};
            int n;
            while ((n = ::poll(&p, 1, static_cast<int>(limit.count()))) < 0 && errno == EINTR) {
            }
            return n == 1;
        }
        auto end = std::chrono::steady_clock::now() + limit;  // no pidfd: look every few milliseconds
        while (processRunning(pid_)) {
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    bool running() const { return !waitForExit(std::chrono::milliseconds(0)); }

private:
    long pid_;
    int fd_ = -1;
    bool gone_ = false;
};

// Waits up to `limit` (only a guard against a broken test hanging) for a file to appear with
// non-empty content and returns it.
inline std::optional<std::string> waitForFile(const std::filesystem::path& path,
                                              std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        std::error_code ec;
        if (std::filesystem::file_size(path, ec) > 0 && !ec) return readFile(path);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::nullopt;
}

}  // namespace talkweft::testing
