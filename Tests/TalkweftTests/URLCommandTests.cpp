#include "Platform/URLCommand.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Platform/Headless/HeadlessLoop.hpp"

using namespace talkweft::platform;
namespace fs = std::filesystem;

namespace {

struct URLCommandTest : ::testing::Test {
    URLCommandTest() {
        dir = fs::temp_directory_path() / ("talkweft-url-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        path = (dir / "talkweft.sock").string();
    }
    ~URLCommandTest() override { fs::remove_all(dir); }
    headless::HeadlessLoop loop;
    fs::path dir;
    std::string path;
    std::vector<std::string> urls, refusals;

    void start(UnixSocketURLCommandSource& source) {
        source.start([&](const std::string& u) { urls.push_back(u); }, [&](const std::string& r) { refusals.push_back(r); });
    }
    long count(const std::string& reason) const { return std::count(refusals.begin(), refusals.end(), reason); }
};

// A client socket connected to `path` (blocking; connecting gives up after 5 s).
int connectTo(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// What the listener answers on `fd`, read until it closes or `until` has passed.
std::string answerOn(int fd, std::chrono::steady_clock::time_point until) {
    std::string answer;
    char buf[256];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return answer + "<no answer>";
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return answer;
        answer.append(buf, static_cast<std::size_t>(n));
    }
}

// sendURLCommand's answer, or the text of its error.
std::string send(const std::string& path, const std::string& url) {
    try {
        return sendURLCommand(path, url);
    } catch (const URLCommandError& e) {
        return std::string("error: ") + e.what();
    }
}

std::string answerOn(int fd) { return answerOn(fd, std::chrono::steady_clock::now() + std::chrono::seconds(20)); }

}  // namespace

TEST_F(URLCommandTest, DeliversURLsOnTheMainLoopAndRefusesHugeOnes) {
    // A stale socket file of a dead instance is replaced.
    {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    UnixSocketURLCommandSource source(loop, path);
    source.start([&](const std::string& u) { urls.push_back(u); }, [&](const std::string& r) { refusals.push_back(r); });
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    EXPECT_EQ(sendURLCommand(path, "talkweft://run?text=a"), "ok");
    EXPECT_EQ(sendURLCommand(path, std::string(MAX_URL_COMMAND_BYTES + 10, 'x')), "refused: too long");
    EXPECT_TRUE(isURLCommandListenerRunning(path));  // an empty connection is not a command
    EXPECT_TRUE(loop.runUntil([&] { return urls.size() + refusals.size() == 2; }));
    loop.runPending();
    EXPECT_EQ(urls, std::vector<std::string>{"talkweft://run?text=a"});
    EXPECT_EQ(refusals, std::vector<std::string>{"too long"});

    UnixSocketURLCommandSource second(loop, path);
    EXPECT_THROW(second.start([](const std::string&) {}, [](const std::string&) {}), URLCommandError);

    source.stop();
    EXPECT_FALSE(fs::exists(path));
    EXPECT_THROW(sendURLCommand(path, "talkweft://probe"), URLCommandError);
}

TEST_F(URLCommandTest, IdleAndSlowClientsDelayNoOne) {
    UnixSocketURLCommandSource source(loop, path);
    start(source);
    // More idle connections than the listen backlog holds.
    std::vector<int> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(connectTo(path));
        ASSERT_GE(idle.back(), 0) << i;
    }
    // A client that sends its URL a byte at a time, 20 ms apart, until it is answered.
    int drip = connectTo(path);
    ASSERT_GE(drip, 0);
    std::string dripAnswer;
    std::thread dripper([&] {
        for (int i = 0; i < 500; ++i) {
            if (::send(drip, "x", 1, MSG_NOSIGNAL) != 1) break;
            pollfd p{drip, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) break;
        }
        dripAnswer = answerOn(drip);
    });

    for (int i = 0; i < 3; ++i) EXPECT_EQ(send(path, "talkweft://run?text=" + std::to_string(i)), "ok");
    EXPECT_TRUE(loop.runUntil([&] { return urls.size() == 3; }));

    // The slow and the idle ones are each ended by their own deadline.
    dripper.join();
    EXPECT_EQ(dripAnswer, "refused: timed out\n");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int fd : idle) {
        EXPECT_EQ(answerOn(fd, until), "refused: timed out\n");
        ::close(fd);
    }
    ::close(drip);
    EXPECT_TRUE(loop.runUntil([&] { return count("timed out") == 21; }));
    EXPECT_EQ(urls, (std::vector<std::string>{"talkweft://run?text=0", "talkweft://run?text=1", "talkweft://run?text=2"}));
}

TEST_F(URLCommandTest, AnEndlessStreamIsReadNoFurtherThanTheLimit) {
    UnixSocketURLCommandSource source(loop, path);
    start(source);
    int fd = connectTo(path);
    ASSERT_GE(fd, 0);
    // Writes until the listener stops taking bytes, or 64 MiB.
    std::size_t written = 0;
    const std::string chunk(64 * 1024, 'x');
    while (written < (64u << 20)) {
        ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    // The limit, plus what the socket buffers held when the listener stopped reading.
    EXPECT_GT(written, MAX_URL_COMMAND_BYTES);
    EXPECT_LT(written, MAX_URL_COMMAND_BYTES + (1u << 20));
    EXPECT_EQ(answerOn(fd), "refused: too long\n");
    ::close(fd);
    EXPECT_TRUE(loop.runUntil([&] { return !refusals.empty(); }));
    EXPECT_EQ(refusals, std::vector<std::string>{"too long"});
    EXPECT_TRUE(urls.empty());
}

TEST_F(URLCommandTest, ACommandWhoseClientLeftWithoutTheAnswerNeverRuns) {
    UnixSocketURLCommandSource source(loop, path);
    start(source);
    // The client gives up before reading the answer (as one that timed out does)...
    int fd = connectTo(path);
    ASSERT_GE(fd, 0);
    const std::string url = "talkweft://run?text=once";
    ASSERT_EQ(::send(fd, url.data(), url.size(), MSG_NOSIGNAL), static_cast<ssize_t>(url.size()));
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
    EXPECT_TRUE(loop.runUntil([&] { return count("answer not taken") == 1; }));
    // ...and tries again: the command runs once, for the try that got its "ok".
    EXPECT_EQ(send(path, url), "ok");
    EXPECT_TRUE(loop.runUntil([&] { return !urls.empty(); }));
    loop.runPending();
    EXPECT_EQ(urls, std::vector<std::string>{url});

    // A client that has the "ok" waiting but leaves unread is dropped too, whichever comes first.
    fd = connectTo(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, url.data(), url.size(), MSG_NOSIGNAL), static_cast<ssize_t>(url.size()));
    ::shutdown(fd, SHUT_WR);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 20'000), 1);  // the answer is there, unread
    ::close(fd);
    EXPECT_TRUE(loop.runUntil([&] { return count("answer not taken") == 2; }));
    loop.runPending();
    EXPECT_EQ(urls.size(), 1u);
}

TEST_F(URLCommandTest, ClientsBeyondTheConnectionLimitAreRefusedAtOnce) {
    // A deadline long enough that no idle connection ends on its own during the test.
    UnixSocketURLCommandSource source(loop, path, std::chrono::seconds(60));
    start(source);
    std::vector<int> idle;
    for (std::size_t i = 0; i < MAX_URL_COMMAND_CONNECTIONS; ++i) {
        idle.push_back(connectTo(path));
        ASSERT_GE(idle.back(), 0) << i;
    }
    EXPECT_EQ(send(path, "talkweft://run?text=x"), "refused: busy");
    EXPECT_TRUE(loop.runUntil([&] { return count("busy") == 1; }));
    // Connections that end without a word are no commands and no refusals; room is made again.
    for (int fd : idle) ::close(fd);
    EXPECT_EQ(send(path, "talkweft://run?text=y"), "ok");
    EXPECT_TRUE(loop.runUntil([&] { return !urls.empty(); }));
    loop.runPending();
    EXPECT_EQ(urls, std::vector<std::string>{"talkweft://run?text=y"});
    EXPECT_EQ(refusals, std::vector<std::string>{"busy"});
}

TEST_F(URLCommandTest, AClientStillOpenAtTheDeadlineCountsOnlyWhenItReadTheAnswer) {
    UnixSocketURLCommandSource source(loop, path, std::chrono::seconds(2));
    start(source);
    auto ask = [&](const std::string& url) {
        int fd = connectTo(path);
        EXPECT_EQ(::send(fd, url.data(), url.size(), MSG_NOSIGNAL), static_cast<ssize_t>(url.size()));
        ::shutdown(fd, SHUT_WR);
        pollfd p{fd, POLLIN, 0};
        EXPECT_EQ(::poll(&p, 1, 20'000), 1);  // the answer has arrived
        return fd;
    };
    int reader = ask("talkweft://run?text=read");
    char buf[8] = {};
    EXPECT_EQ(::recv(reader, buf, sizeof buf, 0), 3);
    EXPECT_STREQ(buf, "ok\n");
    int ignorer = ask("talkweft://run?text=unread");
    // Neither closes: the deadline ends both.
    EXPECT_TRUE(loop.runUntil([&] { return urls.size() + refusals.size() == 2; }));
    loop.runPending();
    EXPECT_EQ(urls, std::vector<std::string>{"talkweft://run?text=read"});
    EXPECT_EQ(refusals, std::vector<std::string>{"answer not taken"});
    ::close(reader);
    ::close(ignorer);
}
