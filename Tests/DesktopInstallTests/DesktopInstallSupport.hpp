// Helpers shared by the desktop-install tests: running a program with a changed environment, and
// reading back the files a test leaves (in scratch folders of the hub tests' kind).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "TempFolder.hpp"

extern char** environ;

namespace installtest {

namespace fs = std::filesystem;

// A scratch folder and its files, as the hub tests have them.
using hubtests::readFile;
using hubtests::TempFolder;
using hubtests::writeFile;

inline const std::string TALKWEFT_PROGRAM = TALKWEFT_BINARY_DIR "/Sources/Talkweft/talkweft";

struct ProgramResult {
    int status = -1;  // exit code; -1 when it did not start, was killed or timed out
    std::string out;  // standard output and standard error together
};

// Runs `argv` to its end with this process's environment changed by `changes` (a value of nullopt
// removes the variable). Killed after `limit`.
inline ProgramResult runProgram(const std::vector<std::string>& argv,
                                const std::map<std::string, std::optional<std::string>>& changes,
                                std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const auto eq = entry.find('=');
        if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [name, value] : changes) {
        if (value)
            env[name] = *value;
        else
            env.erase(name);
    }
    std::vector<std::string> envStrings;
    for (const auto& [name, value] : env) envStrings.push_back(name + "=" + value);
    std::vector<char*> envp, args;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (auto& s : argCopy) args.push_back(s.data());
    args.push_back(nullptr);

    ProgramResult result;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool timedOut = false;
    char buffer[4096];
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{pipeFds[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        result.out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    if (timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!timedOut && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

// Every path below `root`, relative, folders ending in "/", sorted.
inline std::vector<std::string> listTree(const fs::path& root) {
    std::vector<std::string> paths;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        std::string p = fs::relative(e.path(), root).string();
        if (e.is_directory()) p += "/";
        paths.push_back(p);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

}  // namespace installtest
