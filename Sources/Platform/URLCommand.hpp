// URL commands ("talkweft://run?..."): a running instance receives them from a second process over a
// Unix socket. One URL per connection: the client writes the URL, shuts down its side, and reads a
// one-line answer ("ok" or "refused: <reason>").
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "Platform/MainLoop.hpp"

namespace talkweft::platform {

// Longest URL accepted, in bytes; longer ones are refused without reaching the handler.
inline constexpr std::size_t MAX_URL_COMMAND_BYTES = 1 << 20;

class URLCommandError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where URL commands come from. Main thread.
class URLCommandSource {
public:
    virtual ~URLCommandSource() = default;
    // Starts delivering: `handler` gets each URL and `onRefused` the reason for each refused one,
    // both on the main thread. Throws URLCommandError when the source cannot start.
    virtual void start(std::function<void(const std::string& url)> handler,
                       std::function<void(const std::string& reason)> onRefused) = 0;
    // Stops delivering; no handler runs after it returns. Safe to call twice.
    virtual void stop() = 0;
};

// Listens on a Unix socket at `path` (created with mode 0600; its folder must exist). A stale socket
// file left by a dead instance is replaced; a live instance makes start() throw URLCommandError
// "another instance is running". The listener thread only reads and posts; handlers run on `loop`.
class UnixSocketURLCommandSource : public URLCommandSource {
public:
    UnixSocketURLCommandSource(MainLoop& loop, std::string path);
    ~UnixSocketURLCommandSource() override;

    void start(std::function<void(const std::string& url)> handler,
               std::function<void(const std::string& reason)> onRefused) override;
    void stop() override;

    const std::string& path() const { return path_; }

private:
    void serve();

    MainLoop& loop_;
    std::string path_;
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
// "refused: ..."). Throws URLCommandError "no running instance" when nothing listens there, and
// URLCommandError with the system's text for other failures. Waits at most about 5 s. Any thread.
std::string sendURLCommand(const std::string& path, const std::string& url);

}  // namespace talkweft::platform
