#include "TalkweftCore/ProcessTree.hpp"

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <sys/prctl.h>

namespace talkweft {

namespace {

// "pid (comm) S ppid ...": the name may hold blanks and parentheses, so the fields after it are
// found from its last ')'.
bool readStat(pid_t pid, ProcessEntry& entry) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return false;
    auto close = line.rfind(')');
    if (close == std::string::npos || close + 4 >= line.size()) return false;
    entry.pid = pid;
    entry.state = line[close + 2];
    char* end = nullptr;
    long parent = std::strtol(line.c_str() + close + 4, &end, 10);
    if (end == line.c_str() + close + 4) return false;
    entry.parent = static_cast<pid_t>(parent);
    return true;
}

}  // namespace

std::vector<ProcessEntry> listProcesses() {
    std::vector<ProcessEntry> processes;
    DIR* proc = ::opendir("/proc");
    if (!proc) return processes;
    while (const dirent* e = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        ProcessEntry entry;
        if (readStat(static_cast<pid_t>(pid), entry)) processes.push_back(entry);
    }
    ::closedir(proc);
    return processes;
}

bool startedWithEnvironmentEntry(pid_t pid, std::string_view entry) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    if (!in) return false;
    std::string env((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t start = 0;
    while (start < env.size()) {
        std::size_t end = env.find('\0', start);
        if (end == std::string::npos) end = env.size();
        if (std::string_view(env).substr(start, end - start) == entry) return true;
        start = end + 1;
    }
    return false;
}

std::set<pid_t> withDescendants(const std::vector<ProcessEntry>& processes, const std::set<pid_t>& roots) {
    std::multimap<pid_t, pid_t> children;
    for (const auto& p : processes) children.emplace(p.parent, p.pid);
    std::set<pid_t> found;
    std::vector<pid_t> todo(roots.begin(), roots.end());
    while (!todo.empty()) {
        pid_t pid = todo.back();
        todo.pop_back();
        if (!found.insert(pid).second) continue;
        auto [begin, end] = children.equal_range(pid);
        for (auto it = begin; it != end; ++it) todo.push_back(it->second);
    }
    return found;
}

bool becomeChildSubreaper() { return ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0; }

bool isChildSubreaper() {
    int on = 0;
    return ::prctl(PR_GET_CHILD_SUBREAPER, &on, 0, 0, 0) == 0 && on != 0;
}

}  // namespace talkweft
