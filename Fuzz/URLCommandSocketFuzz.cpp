// The URL-command socket's framing: a URL is every byte a client writes before it shuts down its
// side, however the writes are cut. Each input (after its first byte, which sets the size of the
// writes) is sent to a listening source; the client is answered "ok" and, once it has read that
// and closed, the handler gets exactly the bytes sent (an empty message is only a liveness check).
#include <filesystem>
#include <memory>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "FuzzInput.hpp"
#include "Platform/Headless/HeadlessLoop.hpp"
#include "Platform/URLCommand.hpp"

using namespace talkweft::platform;
namespace fs = std::filesystem;

namespace {

struct Listener {
    headless::HeadlessLoop loop;
    std::string path;
    std::unique_ptr<UnixSocketURLCommandSource> source;
    std::vector<std::string> urls, refusals;

    Listener() {
        const fs::path dir = fs::temp_directory_path() / ("url-socket-fuzz-" + std::to_string(getpid()));
        fs::create_directories(dir);
        path = (dir / "s").string();
        source = std::make_unique<UnixSocketURLCommandSource>(loop, path);
        source->start([this](const std::string& u) { urls.push_back(u); },
                      [this](const std::string& r) { refusals.push_back(r); });
    }
};

int connectTo(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    FUZZ_CHECK(fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Listener listener;
    if (size < 1) return 0;
    const std::size_t piece = 1 + data[0] % 64;
    const std::string url(fuzz::asText(data + 1, size - 1));
    listener.urls.clear();
    listener.refusals.clear();

    const int fd = connectTo(listener.path);
    for (std::size_t at = 0; at < url.size(); at += piece) {
        const std::size_t n = std::min(piece, url.size() - at);
        FUZZ_CHECK(::send(fd, url.data() + at, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n));
    }
    ::shutdown(fd, SHUT_WR);
    std::string answer;
    char buf[64];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) {
        answer.append(buf, static_cast<std::size_t>(n));
        if (answer.find('\n') != std::string::npos) break;
    }
    ::close(fd);
    FUZZ_CHECK(answer == "ok\n");
    if (url.empty()) return 0;
    FUZZ_CHECK(listener.loop.runUntil([] { return !listener.urls.empty() || !listener.refusals.empty(); }));
    FUZZ_CHECK(listener.refusals.empty() && listener.urls.size() == 1 && listener.urls[0] == url);
    return 0;
}
