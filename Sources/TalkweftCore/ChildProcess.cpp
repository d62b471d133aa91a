#include "TalkweftCore/ChildProcess.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <set>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

#include "TalkweftCore/ProcessTree.hpp"

extern char** environ;

namespace talkweft {

namespace {

using Clock = std::chrono::steady_clock;

void ignoreSIGPIPE() {
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

// An ignored SIGCHLD (which a parent can hand down to us) makes the kernel reap children by itself:
// their exit status would be lost and the process group id could be reused while we signal it.
void keepChildrenForWaiting() {
    struct sigaction current {};
    if (::sigaction(SIGCHLD, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
        current.sa_handler == SIG_IGN)
        std::signal(SIGCHLD, SIG_DFL);
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// A pipe whose both ends are close-on-exec, so that children spawned at the same time by other
// threads never inherit them (an inherited write end would keep our reads from ending).
void makePipe(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
}

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

int openPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
#else
    (void)pid;
    return -1;
#endif
}

// Reads what is available, up to 1 MiB per call so that a child that writes without pause cannot
// keep the loop from its deadlines and other pipes. Bytes beyond MAX_CHILD_OUTPUT_BYTES are read
// and dropped. Returns false at end of file or on error.
bool readSome(int fd, std::string& into) {
    char buf[65536];
    for (int chunks = 0; chunks < 16; ++chunks) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            std::size_t room = into.size() < MAX_CHILD_OUTPUT_BYTES ? MAX_CHILD_OUTPUT_BYTES - into.size() : 0;
            into.append(buf, std::min(room, static_cast<std::size_t>(n)));
            if (static_cast<std::size_t>(n) < sizeof buf) return true;
            continue;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    return true;
}

// True once the child has exited; leaves it unreaped so that its pid, and with it the process
// group id, cannot be reused while we may still signal the group.
bool hasExited(pid_t pid) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return errno == ECHILD;
    return info.si_pid == pid;
}

// The children that a ChildProcess will wait for, which reaping orphans must never take. Spawning
// and reaping happen under `lock`, so a child that exits at once is listed before anyone looks.
struct OwnedChildren {
    std::mutex lock;
    std::set<pid_t> pids;  // guarded by lock
};

OwnedChildren& owned() {
    static auto* children = new OwnedChildren;  // never destroyed: threads may still spawn at exit
    return *children;
}

// Lock of owned() held. Stops every process below ours that carries `marker` and everything below
// those, round after round until no new one appears (a stopped process cannot start another), then
// kills them all and reaps them parents first: a child becomes ours only once its parent has died.
void endMarkedDescendants(const std::string& marker) {
    const pid_t self = ::getpid();
    std::set<pid_t> stopped;
    std::vector<ProcessEntry> processes;
    for (int round = 0; round < 64; ++round) {
        processes = listProcesses();
        std::set<pid_t> marked;
        for (pid_t pid : withDescendants(processes, {self})) {
            if (pid == self || owned().pids.count(pid)) continue;
            if (stopped.count(pid) || startedWithEnvironmentEntry(pid, marker)) marked.insert(pid);
        }
        bool grew = false;
        for (pid_t pid : withDescendants(processes, marked)) {
            if (owned().pids.count(pid) || !stopped.insert(pid).second) continue;
            ::kill(pid, SIGSTOP);
            grew = true;
        }
        if (!grew) break;
    }
    if (stopped.empty()) return;
    for (pid_t pid : stopped) ::kill(pid, SIGKILL);

    std::map<pid_t, std::vector<pid_t>> children;
    for (const auto& p : processes)
        if (stopped.count(p.pid)) children[p.parent].push_back(p.pid);
    std::vector<pid_t> level = children[self];
    while (!level.empty()) {
        std::vector<pid_t> next;
        for (pid_t pid : level) {
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            auto below = children.find(pid);
            if (below != children.end()) next.insert(next.end(), below->second.begin(), below->second.end());
        }
        level = std::move(next);
    }
}

// Lock of owned() held. An orphan handed to a subreaper that exits is a zombie until we reap it.
// Usually no child has exited, or only orphans have: /proc is read only when an exited child that
// a ChildProcess waits for hides the others.
void reapOrphans() {
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) return;
        if (owned().pids.count(info.si_pid)) break;
        ::waitpid(info.si_pid, nullptr, WNOHANG);
    }
    const pid_t self = ::getpid();
    for (const auto& p : listProcesses())
        if (p.parent == self && p.state == 'Z' && !owned().pids.count(p.pid)) ::waitpid(p.pid, nullptr, WNOHANG);
}

struct SpawnResources {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SpawnResources() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnResources() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

}  // namespace

std::map<std::string, std::string> currentEnvironment() {
    std::map<std::string, std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        env.emplace(entry.substr(0, eq), entry.substr(eq + 1));
    }
    return env;
}

std::shared_ptr<ChildProcess> ChildProcess::start(const ChildOptions& opts) {
    ignoreSIGPIPE();
    keepChildrenForWaiting();
    std::shared_ptr<ChildProcess> child(new ChildProcess());
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    auto closeAll = [&] {
        for (int* fd : {&in[0], &in[1], &out[0], &out[1], &err[0], &err[1]}) closeFd(*fd);
    };
    try {
        if (opts.stdinPipe) makePipe(in);
        makePipe(out);
        makePipe(err);
    } catch (...) {
        closeAll();
        throw;
    }

    SpawnResources r;
    if (opts.stdinPipe)
        posix_spawn_file_actions_adddup2(&r.actions, in[0], 0);
    else
        posix_spawn_file_actions_addopen(&r.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&r.actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&r.actions, err[1], 2);
    if (opts.cwd) posix_spawn_file_actions_addchdir_np(&r.actions, opts.cwd->c_str());

    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&r.attr, &all);
    posix_spawnattr_setsigmask(&r.attr, &none);
    posix_spawnattr_setpgroup(&r.attr, 0);
    posix_spawnattr_setflags(&r.attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

    std::vector<std::string> argStore;
    argStore.reserve(opts.args.size() + 1);
    argStore.push_back(opts.path);
    argStore.insert(argStore.end(), opts.args.begin(), opts.args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string marker;
    if (opts.endDescendants) {
        static std::atomic<unsigned long> runs{0};
        marker = std::string(RUN_MARKER_VARIABLE) + "=" + std::to_string(::getpid()) + "." + std::to_string(++runs);
    }
    std::vector<std::string> envStore;
    for (const auto& [k, v] : opts.env)
        if (marker.empty() || k != RUN_MARKER_VARIABLE) envStore.push_back(k + "=" + v);
    if (!marker.empty()) envStore.push_back(marker);
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    int rc;
    {
        std::lock_guard guard(owned().lock);
        rc = ::posix_spawn(&pid, opts.path.c_str(), &r.actions, &r.attr, argv.data(), envp.data());
        if (rc == 0) owned().pids.insert(pid);
    }
    closeFd(in[0]);
    closeFd(out[1]);
    closeFd(err[1]);
    if (rc != 0) {
        closeAll();
        throw std::system_error(rc, std::generic_category(), "cannot start " + opts.path);
    }

    child->pid_ = pid;
    child->stdinFd_ = in[1];
    child->stdoutFd_ = out[0];
    child->stderrFd_ = err[0];
    child->stdinText_ = opts.stdinText.value_or("");
    child->marker_ = std::move(marker);
    child->pidFd_ = openPidFd(pid);
    child->wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    for (int fd : {child->stdinFd_, child->stdoutFd_, child->stderrFd_})
        if (fd >= 0) setNonBlocking(fd);
    return child;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(-pid_, SIGKILL);
        int st = 0;
        reap(&st);
    }
    closeFds();
    closeFd(wakeFd_);
}

pid_t ChildProcess::reap(int* status) {
    // Waited for without the lock first: a child slow to die must not hold up everyone's spawns.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    std::lock_guard guard(owned().lock);
    pid_t waited;
    while ((waited = ::waitpid(pid_, status, 0)) < 0 && errno == EINTR) {
    }
    owned().pids.erase(pid_);
    reaped_ = true;
    if (isChildSubreaper()) {
        if (!marker_.empty()) endMarkedDescendants(marker_);
        reapOrphans();
    }
    return waited;
}

void ChildProcess::closeFds() {
    closeFd(stdinFd_);
    closeFd(stdoutFd_);
    closeFd(stderrFd_);
    closeFd(pidFd_);
}

void ChildProcess::terminate() {
    terminateRequested_.store(true);
    if (wakeFd_ >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
    }
}

ChildOutcome ChildProcess::collect(std::optional<double> timeoutSeconds, double graceSeconds) {
    using std::chrono::duration_cast;
    ChildOutcome outcome;
    const auto startTime = Clock::now();
    const auto grace = duration_cast<Clock::duration>(std::chrono::duration<double>(std::max(0.0, graceSeconds)));
    std::optional<Clock::time_point> deadline;
    if (timeoutSeconds) {
        double t = std::max(0.0, std::min(*timeoutSeconds, 1e9));
        deadline = startTime + duration_cast<Clock::duration>(std::chrono::duration<double>(t));
    }

    std::size_t written = 0;
    if (stdinFd_ >= 0 && stdinText_.empty()) closeFd(stdinFd_);
    bool exited = false, terminating = false, killed = false;
    std::optional<Clock::time_point> killAt, lingerUntil;

    auto signalGroup = [&](int sig) { ::kill(-pid_, sig); };
    auto killGroup = [&] {
        if (!killed) signalGroup(SIGKILL);
        killed = true;
    };

    for (;;) {
        const auto now = Clock::now();
        if (!terminating && !exited) {
            bool timeUp = deadline && now >= *deadline;
            if (terminateRequested_.load() || timeUp) {
                if (timeUp && !terminateRequested_.load()) outcome.timedOut = true;
                else outcome.terminated = true;
                terminating = true;
                signalGroup(SIGTERM);
                killAt = now + grace;
            }
        }
        if (terminating && !killed && killAt && now >= *killAt) killGroup();
        if (!exited && pidFd_ < 0) exited = hasExited(pid_);

        const bool pipesOpen = stdoutFd_ >= 0 || stderrFd_ >= 0;
        if (exited) {
            closeFd(stdinFd_);
            if (!pipesOpen) break;
            if (!lingerUntil) lingerUntil = terminating && killAt ? std::min(*killAt, now + grace) : now + grace;
            if (now >= *lingerUntil) {
                // Something outside our control holds the pipes: end it, keep what was buffered.
                killGroup();
                if (stdoutFd_ >= 0) readSome(stdoutFd_, outcome.out);
                if (stderrFd_ >= 0) readSome(stderrFd_, outcome.err);
                break;
            }
        }

        std::vector<pollfd> fds;
        auto add = [&](int fd, short events) {
            if (fd >= 0) fds.push_back(pollfd{fd, events, 0});
        };
        add(wakeFd_, POLLIN);
        if (!exited) add(pidFd_, POLLIN);
        add(stdoutFd_, POLLIN);
        add(stderrFd_, POLLIN);
        add(stdinFd_, POLLOUT);

        std::optional<Clock::time_point> next;
        auto consider = [&](std::optional<Clock::time_point> t) {
            if (t && (!next || *t < *next)) next = t;
        };
        if (!terminating && !exited) consider(deadline);
        if (terminating && !killed) consider(killAt);
        if (exited) consider(lingerUntil);
        if ((!exited && pidFd_ < 0) || wakeFd_ < 0) consider(now + std::chrono::milliseconds(20));
        int waitMs = -1;
        if (next) {
            auto ms = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
            waitMs = static_cast<int>(std::clamp<long long>(ms, 0, 60'000));
        }

        int n = ::poll(fds.data(), fds.size(), waitMs);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        for (const auto& p : fds) {
            if (p.revents == 0) continue;
            if (p.fd == wakeFd_) {
                std::uint64_t v;
                [[maybe_unused]] auto r = ::read(wakeFd_, &v, sizeof v);
            } else if (p.fd == pidFd_) {
                exited = true;
            } else if (p.fd == stdoutFd_) {
                if (!readSome(stdoutFd_, outcome.out)) closeFd(stdoutFd_);
            } else if (p.fd == stderrFd_) {
                if (!readSome(stderrFd_, outcome.err)) closeFd(stderrFd_);
            } else if (p.fd == stdinFd_) {
                if (p.revents & (POLLERR | POLLHUP)) {
                    closeFd(stdinFd_);
                    continue;
                }
                ssize_t w = ::write(stdinFd_, stdinText_.data() + written, stdinText_.size() - written);
                if (w > 0) written += static_cast<std::size_t>(w);
                else if (w < 0 && errno != EAGAIN && errno != EINTR) closeFd(stdinFd_);  // EPIPE: child stopped reading
                if (written >= stdinText_.size()) closeFd(stdinFd_);
            }
        }
    }

    // A terminated child's group goes with it: helpers that outlived the child are not left behind.
    if (terminating) killGroup();
    closeFds();
    int st = 0;
    pid_t waited = reap(&st);
    if (waited != pid_) outcome.status = -1;  // reaped behind our back: the status is unknown, not success
    else if (WIFEXITED(st)) outcome.status = WEXITSTATUS(st);
    else if (WIFSIGNALED(st)) outcome.status = WTERMSIG(st);
    return outcome;
}

}  // namespace talkweft
