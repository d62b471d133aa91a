// URL commands ("talkweft://run?..."): a running instance receives them from a second process over a
// Unix socket. One URL per connection: the client writes the URL, shuts down its side, reads the
// one-line answer ("ok\n" or "refused: <reason>\n") and closes the connection.
//
// A command runs only once its client has taken the "ok": the listener answers, then waits for the
// client to close, and a client that leaves without reading the answer (it gave up waiting and
// told its user there was no answer) has its command dropped, so a retried command runs once.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "Platform/MainLoop.hpp"

namespace talkweft::platform {

// Longest URL accepted, in bytes; longer ones are refused without reaching the handler, and the
// listener reads no more of them than this.
inline constexpr std::size_t MAX_URL_COMMAND_BYTES = 1 << 20;

// How long sendURLCommand waits in all, from connecting to the answer.
inline constexpr std::chrono::milliseconds URL_COMMAND_CLIENT_WAIT{5000};

// How long one connection may last from its acceptance to its end: reading the URL, answering and
// waiting for the client to take the answer. A connection still open then is ended ("refused:
// timed out" while its URL is still arriving). Longer than the client's own wait, so by then a
// client of ours has either read its answer or given up and closed, and which one it did decides
// whether the command runs.
inline constexpr std::chrono::milliseconds URL_COMMAND_DEADLINE{6000};

// Connections served at once; a client beyond them is answered "refused: busy" at once.
inline constexpr std::size_t MAX_URL_COMMAND_CONNECTIONS = 64;

class URLCommandError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where URL commands come from. Main thread.
class URLCommandSource {
public:
    virtual ~URLCommandSource() = default;
    // Starts delivering: `handler` gets each URL and `onRefused` the reason for each refused or
    // dropped one, both on the main thread. Throws URLCommandError when the source cannot start.
    virtual void start(std::function<void(const std::string& url)> handler,
                       std::function<void(const std::string& reason)> onRefused) = 0;
    // Stops delivering; no handler runs after it returns. Safe to call twice.
    virtual void stop() = 0;
};

// Listens on a Unix socket at `path` (created with mode 0600; its folder must exist). A stale socket
// file left by a dead instance is replaced; a live instance makes start() throw URLCommandError
// "another instance is running". The listener thread serves every connection at once (non-blocking,
// each with its own `deadline`), so no client delays another; it only reads, answers and posts, and
// handlers run on `loop`. Refusal reasons: "too long", "timed out", "incomplete" (the client left
// before its URL was complete), "busy", "answer not taken" (the client left without reading "ok").
class UnixSocketURLCommandSource : public URLCommandSource {
public:
    UnixSocketURLCommandSource(MainLoop& loop, std::string path,
                               std::chrono::milliseconds deadline = URL_COMMAND_DEADLINE);
    ~UnixSocketURLCommandSource() override;

    void start(std::function<void(const std::string& url)> handler,
               std::function<void(const std::string& reason)> onRefused) override;
    void stop() override;

    const std::string& path() const { return path_; }

private:
    void serve();
    void deliver(std::string url);
    void refuse(std::string reason);

    MainLoop& loop_;
    std::string path_;
    std::chrono::milliseconds deadline_;
    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1};  // a pipe that ends the listener's poll
    std::thread thread_;
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(false);
    std::function<void(const std::string&)> handler_;
    std::function<void(const std::string&)> onRefused_;
};

// True when an instance accepts connections at `path`. Throws URLCommandError when `path` is too
// long for a socket address. Any thread.
bool isURLCommandListenerRunning(const std::string& path);

// Hands `url` to the instance listening at `path` and returns its answer line ("ok" or
// "refused: ..."). Throws URLCommandError "no running instance" when nothing listens there,
// "no answer from the running instance" when no answer came within URL_COMMAND_CLIENT_WAIT (the
// command then does not run), and URLCommandError with the system's text for other failures.
// Any thread.
std::string sendURLCommand(const std::string& path, const std::string& url);

}  // namespace talkweft::platform
