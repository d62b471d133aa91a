#include "Platform/URLCommand.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

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
};

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
