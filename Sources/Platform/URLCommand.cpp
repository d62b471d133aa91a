#include "Platform/URLCommand.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace talkweft::platform {

namespace {

sockaddr_un socketAddress(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) throw URLCommandError("socket path too long: " + path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

void setTimeouts(int fd, int seconds) {
    timeval tv{seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool isURLCommandListenerRunning(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr = socketAddress(path);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

UnixSocketURLCommandSource::UnixSocketURLCommandSource(MainLoop& loop, std::string path)
    : loop_(loop), path_(std::move(path)) {}

UnixSocketURLCommandSource::~UnixSocketURLCommandSource() { stop(); }

void UnixSocketURLCommandSource::start(std::function<void(const std::string&)> handler,
                                       std::function<void(const std::string&)> onRefused) {
    if (listenFd_ >= 0) return;
    sockaddr_un addr = socketAddress(path_);
    if (isURLCommandListenerRunning(path_)) throw URLCommandError("another instance is running (" + path_ + ")");
    ::unlink(path_.c_str());  // a stale socket of a dead instance
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

void UnixSocketURLCommandSource::serve() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        setTimeouts(client, 2);
        std::string url;
        bool tooLong = false, failed = false;
        char buf[4096];
        for (;;) {
            ssize_t n = ::recv(client, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) { failed = true; break; }
            if (n == 0) break;
            // Past the limit keep reading (and dropping) so the client gets to read the answer.
            if (tooLong || url.size() + static_cast<std::size_t>(n) > MAX_URL_COMMAND_BYTES) {
                tooLong = true;
                url.clear();
                continue;
            }
            url.append(buf, static_cast<std::size_t>(n));
        }
        std::string reason = tooLong ? "too long" : failed ? "incomplete" : "";
        std::string answer = reason.empty() ? "ok\n" : "refused: " + reason + "\n";
        writeAll(client, answer.data(), answer.size());
        ::close(client);
        auto alive = alive_;
        if (reason.empty() && url.empty()) continue;  // a liveness check, not a command
        if (reason.empty())
            loop_.post([this, alive, url = std::move(url)] { if (*alive && handler_) handler_(url); });
        else
            loop_.post([this, alive, reason] { if (*alive && onRefused_) onRefused_(reason); });
    }
}

std::string sendURLCommand(const std::string& path, const std::string& url) {
    sockaddr_un addr = socketAddress(path);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw URLCommandError(std::string("socket: ") + std::strerror(errno));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int err = errno;
        ::close(fd);
        if (err == ENOENT || err == ECONNREFUSED) throw URLCommandError("no running instance");
        throw URLCommandError(std::string("connect: ") + std::strerror(err));
    }
    setTimeouts(fd, 5);
    if (!writeAll(fd, url.data(), url.size())) {
        // The listener stops reading at its limit and answers; read that answer below.
    }
    ::shutdown(fd, SHUT_WR);
    std::string answer;
    char buf[256];
    for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        answer.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
    if (answer.empty()) throw URLCommandError("no answer from the running instance");
    return answer;
}

}  // namespace talkweft::platform
