// What runs below this process, read from /proc: each process's parent and state and the
// environment it started with, and the subreaper switch that keeps orphaned descendants below us
// (a helper whose parent exits is handed to us instead of to init, so it can still be found).
#pragma once

#include <optional>
#include <set>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace talkweft {

struct ProcessEntry {
    pid_t pid = 0;
    pid_t parent = 0;
    char state = '?';  // as /proc/<pid>/stat gives it: 'R', 'S', 'Z' (exited, not yet reaped), ...
};

// One line of /proc/<pid>/stat ("<pid> (<name>) <state> <parent> ..."); the name may hold blanks
// and parentheses, so the fields after it are found from its last ')'. Nothing when the line does
// not have that shape. Pure.
std::optional<ProcessEntry> parseProcessStat(std::string_view line);

// Whether `environment` (entries each ended by a NUL byte, as /proc/<pid>/environ holds them; the
// last NUL may be missing) holds exactly `entry`. Pure.
bool environmentHasEntry(std::string_view environment, std::string_view entry);

// Every process /proc shows (one that ends while it is being read may be missing). Thread-safe.
std::vector<ProcessEntry> listProcesses();

// True when the process started with exactly `entry` ("NAME=value") in its environment; false when
// that environment cannot be read (a process of another user, an exited one, one that is gone).
bool startedWithEnvironmentEntry(pid_t pid, std::string_view entry);

// `roots` together with every process below them in `processes`.
std::set<pid_t> withDescendants(const std::vector<ProcessEntry>& processes, const std::set<pid_t>& roots);

// Makes this process the child subreaper of everything it starts (prctl PR_SET_CHILD_SUBREAPER):
// orphaned descendants become our children. False when the kernel refuses. Call it once, early.
bool becomeChildSubreaper();

// True while this process is a child subreaper.
bool isChildSubreaper();

}  // namespace talkweft
