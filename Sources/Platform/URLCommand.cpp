#include "Platform/URLCommand.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace talkweft::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

sockaddr_un socketAddress(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) throw URLCommandError("socket path too long: " + path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

// Milliseconds left until `until` for poll, at least 0, rounded up so a wait never ends early.
int msUntil(SteadyClock::time_point until) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(until - SteadyClock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, 60'000));
}

// Waits for `events` on `fd` until `until`; false when the time ran out first.
bool waitFor(int fd, short events, SteadyClock::time_point until) {
    for (;;) {
        pollfd p{fd, events, 0};
        int rc = ::poll(&p, 1, msUntil(until));
        if (rc < 0 && errno == EINTR) continue;
        if (rc != 0) return true;  // ready, or an error the next call reports
        if (SteadyClock::now() >= until) return false;
    }
}

// Sends a short answer without blocking; true when all of it went out.
bool sendAnswer(int fd, std::string_view answer) {
    ssize_t n;
    do {
        n = ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(answer.size());
}

// Answers a client whose message is not read any further, then closes. Shutting down our reading
// side makes the client's further writes fail at once; what it sent already is dropped, so the
// close does not reset the connection before the client has read the answer.
void refuseAndClose(int fd, std::string_view answer) {
    ::shutdown(fd, SHUT_RD);
    char buf[4096];
    while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
    sendAnswer(fd, answer);
    ::close(fd);
}

// Bytes we sent on `fd` that the peer has not read yet; -1 when unknown.
int unreadByPeer(int fd) {
    int n = 0;
    return ::ioctl(fd, SIOCOUTQ, &n) == 0 ? n : -1;
}

struct Connection {
    int fd = -1;
    SteadyClock::time_point deadline;
    std::string url;
    bool answered = false;  // "ok" sent; waiting for the client to close
};

}  // namespace

bool isURLCommandListenerRunning(const std::string& path) {
    sockaddr_un addr = socketAddress(path);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    // A listener whose backlog is full is still running: a non-blocking connect says so at once.
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    bool running = rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
    ::close(fd);
    return running;
}

UnixSocketURLCommandSource::UnixSocketURLCommandSource(MainLoop& loop, std::string path,
                                                       std::chrono::milliseconds deadline)
    : loop_(loop), path_(std::move(path)), deadline_(deadline) {}

UnixSocketURLCommandSource::~UnixSocketURLCommandSource() { stop(); }

void UnixSocketURLCommandSource::start(std::function<void(const std::string&)> handler,
                                       std::function<void(const std::string&)> onRefused) {
    if (listenFd_ >= 0) return;
    sockaddr_un addr = socketAddress(path_);
    if (isURLCommandListenerRunning(path_)) throw URLCommandError("another instance is running (" + path_ + ")");
    ::unlink(path_.c_str());  // a stale socket of a dead instance
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) throw URLCommandError(std::string("socket: ") + std::strerror(errno));
    mode_t old = ::umask(0177);
    int rc = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::umask(old);
    if (rc != 0 || ::listen(fd, 16) != 0) {
        std::string err = std::strerror(errno);
        ::close(fd);
        throw URLCommandError("cannot listen on " + path_ + ": " + err);
    }
    if (::pipe2(wakeFds_, O_CLOEXEC) != 0) {
        ::close(fd);
        ::unlink(path_.c_str());
        throw URLCommandError(std::string("pipe: ") + std::strerror(errno));
    }
    listenFd_ = fd;
    handler_ = std::move(handler);
    onRefused_ = std::move(onRefused);
    alive_ = std::make_shared<std::atomic<bool>>(true);
    thread_ = std::thread([this] { serve(); });
}

void UnixSocketURLCommandSource::stop() {
    if (listenFd_ < 0) return;
    alive_->store(false);
    char c = 'q';
    [[maybe_unused]] auto n = ::write(wakeFds_[1], &c, 1);
    if (thread_.joinable()) thread_.join();
    ::close(listenFd_);
    ::close(wakeFds_[0]);
    ::close(wakeFds_[1]);
    listenFd_ = wakeFds_[0] = wakeFds_[1] = -1;
    ::unlink(path_.c_str());
}

void UnixSocketURLCommandSource::deliver(std::string url) {
    auto alive = alive_;
    loop_.post([this, alive, url = std::move(url)] {
        if (*alive && handler_) handler_(url);
    });
}

void UnixSocketURLCommandSource::refuse(std::string reason) {
    auto alive = alive_;
    loop_.post([this, alive, reason = std::move(reason)] {
        if (*alive && onRefused_) onRefused_(reason);
    });
}

void UnixSocketURLCommandSource::serve() {
    std::vector<Connection> connections;

    // Reads what a connection has sent. False when the connection is done (and closed).
    auto readMore = [&](Connection& c) {
        char buf[4096];
        for (;;) {
            ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
            if (n < 0) {
                ::close(c.fd);
                refuse("incomplete");
                return false;
            }
            if (n == 0) break;
            if (c.url.size() + static_cast<std::size_t>(n) > MAX_URL_COMMAND_BYTES) {
                refuseAndClose(c.fd, "refused: too long\n");
                refuse("too long");
                return false;
            }
            c.url.append(buf, static_cast<std::size_t>(n));
        }
        // The whole URL is in. An empty one is a liveness check, not a command.
        if (c.url.empty()) {
            sendAnswer(c.fd, "ok\n");
            ::close(c.fd);
            return false;
        }
        if (!sendAnswer(c.fd, "ok\n")) {
            ::close(c.fd);
            refuse("answer not taken");
            return false;
        }
        c.answered = true;
        return true;
    };

    // The client of an answered connection closed: it read the answer unless the close reset the
    // connection (a client that closes with unread data does that).
    auto closed = [&](Connection& c) {
        char b;
        ssize_t n;
        do {
            n = ::recv(c.fd, &b, 1, MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;  // not closed yet
        ::close(c.fd);
        if (n == 0) {
            deliver(std::move(c.url));
        } else {
            refuse("answer not taken");
        }
        return true;
    };

    auto expire = [&](Connection& c) {
        if (!c.answered) {
            refuseAndClose(c.fd, "refused: timed out\n");
            refuse("timed out");
            return;
        }
        // Still connected after its answer: the command counts when the client has read it.
        const bool taken = unreadByPeer(c.fd) == 0;
        ::close(c.fd);
        if (taken) {
            deliver(std::move(c.url));
        } else {
            refuse("answer not taken");
        }
    };

    // Serves the connections whose poll results are in `results` (one per connection, in order).
    auto serveReady = [&](const pollfd* results) {
        std::vector<bool> done(connections.size(), false);
        for (std::size_t i = 0; i < connections.size(); ++i) {
            if (!results[i].revents) continue;
            Connection& c = connections[i];
            done[i] = c.answered ? closed(c) : !readMore(c);
        }
        std::size_t index = 0;
        std::erase_if(connections, [&](const Connection&) { return done[index++]; });
    };
    auto pollSpec = [](const Connection& c) {
        // Once answered only the client's close matters, which poll reports unasked.
        return pollfd{c.fd, static_cast<short>(c.answered ? 0 : POLLIN), 0};
    };

    std::vector<pollfd> fds;
    for (;;) {
        const auto now = SteadyClock::now();
        std::erase_if(connections, [&](Connection& c) {
            if (c.deadline > now) return false;
            expire(c);
            return true;
        });

        fds.clear();
        fds.push_back({listenFd_, POLLIN, 0});
        fds.push_back({wakeFds_[0], POLLIN, 0});
        auto next = SteadyClock::time_point::max();
        for (const Connection& c : connections) {
            fds.push_back(pollSpec(c));
            next = std::min(next, c.deadline);
        }
        const int timeout = connections.empty() ? -1 : msUntil(next);
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) break;

        serveReady(fds.data() + 2);

        if (fds[0].revents & POLLIN) {
            for (;;) {
                int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (client < 0) {
                    if (errno == EINTR) continue;
                    break;  // none left (or a failure the next poll reports again)
                }
                if (connections.size() >= MAX_URL_COMMAND_CONNECTIONS) {
                    // Connections that ended since the last poll make room first.
                    std::vector<pollfd> now;
                    for (const Connection& c : connections) now.push_back(pollSpec(c));
                    if (::poll(now.data(), now.size(), 0) > 0) serveReady(now.data());
                }
                if (connections.size() >= MAX_URL_COMMAND_CONNECTIONS) {
                    refuseAndClose(client, "refused: busy\n");
                    refuse("busy");
                    continue;
                }
                connections.push_back({client, SteadyClock::now() + deadline_, {}, false});
            }
        }
    }
    for (const Connection& c : connections) ::close(c.fd);
}

std::string sendURLCommand(const std::string& path, const std::string& url) {
    const auto until = SteadyClock::now() + URL_COMMAND_CLIENT_WAIT;
    sockaddr_un addr = socketAddress(path);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw URLCommandError(std::string("socket: ") + std::strerror(errno));
    // Connecting waits while the listener's backlog is full, for the client's time at most.
    const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(URL_COMMAND_CLIENT_WAIT);
    timeval tv{static_cast<time_t>(wait.count() / 1'000'000), static_cast<suseconds_t>(wait.count() % 1'000'000)};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int err = errno;
        ::close(fd);
        if (err == ENOENT || err == ECONNREFUSED) throw URLCommandError("no running instance");
        if (err == EAGAIN || err == EINPROGRESS) throw URLCommandError("no answer from the running instance");
        throw URLCommandError(std::string("connect: ") + std::strerror(err));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    auto fail = [fd](const char* what) {
        ::close(fd);
        return URLCommandError(what);
    };

    std::size_t sent = 0;
    while (sent < url.size()) {
        ssize_t n = ::send(fd, url.data() + sent, url.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(fd, POLLOUT, until)) throw fail("no answer from the running instance");
            continue;
        }
        break;  // the listener stopped reading (a URL too long): its answer follows
    }
    ::shutdown(fd, SHUT_WR);

    std::string answer;
    char buf[256];
    while (answer.find('\n') == std::string::npos) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n > 0) {
            answer.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(fd, POLLIN, until)) throw fail("no answer from the running instance");
            continue;
        }
        break;  // closed
    }
    ::close(fd);
    answer = answer.substr(0, answer.find('\n'));
    if (!answer.empty() && answer.back() == '\r') answer.pop_back();
    if (answer.empty()) throw URLCommandError("no answer from the running instance");
    return answer;
}

}  // namespace talkweft::platform
