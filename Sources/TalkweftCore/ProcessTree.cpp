#include "TalkweftCore/ProcessTree.hpp"

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <sys/prctl.h>

namespace talkweft {

std::optional<ProcessEntry> parseProcessStat(std::string_view line) {
    auto open = line.find(" (");
    auto close = line.rfind(')');
    if (open == std::string_view::npos || open == 0 || close == std::string_view::npos || close < open + 2)
        return std::nullopt;
    auto number = [](std::string_view digits, pid_t& into) {
        if (digits.empty() || digits.size() > 9) return false;
        long value = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        into = static_cast<pid_t>(value);
        return true;
    };
    // After the name: " <state> <parent> ..."
    std::string_view rest = line.substr(close + 1);
    if (rest.size() < 4 || rest[0] != ' ' || rest[2] != ' ') return std::nullopt;
    ProcessEntry entry;
    entry.state = rest[1];
    rest.remove_prefix(3);
    if (!number(line.substr(0, open), entry.pid) || !number(rest.substr(0, rest.find(' ')), entry.parent)) return std::nullopt;
    return entry;
}

bool environmentHasEntry(std::string_view environment, std::string_view entry) {
    while (!environment.empty()) {
        auto end = environment.find('\0');
        if (environment.substr(0, end) == entry) return true;
        if (end == std::string_view::npos) break;
        environment.remove_prefix(end + 1);
    }
    return false;
}

std::vector<ProcessEntry> listProcesses() {
    std::vector<ProcessEntry> processes;
    DIR* proc = ::opendir("/proc");
    if (!proc) return processes;
    while (const dirent* e = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line)) continue;  // gone meanwhile
        if (auto entry = parseProcessStat(line)) processes.push_back(*entry);
    }
    ::closedir(proc);
    return processes;
}

bool startedWithEnvironmentEntry(pid_t pid, std::string_view entry) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    if (!in) return false;
    std::string env((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return environmentHasEntry(env, entry);
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
