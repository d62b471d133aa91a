#include "TalkweftCore/Shell.hpp"

#include <chrono>
#include <cstdlib>
#include <system_error>

#include <gtest/gtest.h>

#include "ProcessTestSupport.hpp"

namespace talkweft {
namespace {

using testing::ScopedEnv;
using testing::TempDir;
using testing::writeScript;

TEST(Shell, ShellPathListsTheToolFoldersInOrderAndStaysFixed) {
    // The home folder is the one of the first use (other tests in this program may have moved HOME).
    const std::string path = SHELL_PATH();
    auto colon = path.find(':');
    ASSERT_NE(colon, std::string::npos);
    EXPECT_TRUE(path.substr(0, colon).ends_with("/.local/bin")) << path;
    EXPECT_EQ(path.substr(colon), ":/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");
    ScopedEnv home("HOME", "/somewhere/else");
    EXPECT_EQ(SHELL_PATH(), path);
}

TEST(Shell, ChildPathPutsShellPathInFrontOfOurs) {
    const struct {
        const char* path;
        std::string expected;
    } cases[] = {
        {"/usr/bin:/bin", SHELL_PATH() + ":/usr/bin:/bin"},
        {nullptr, SHELL_PATH() + ":"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path ? c.path : "(unset)");
        ScopedEnv env("PATH", c.path);
        EXPECT_EQ(calcShellEnv().at("PATH"), c.expected);
        auto r = runShell("/bin/sh", {"-c", "printf %s \"$PATH\""});
        EXPECT_EQ(r.out, c.expected);
    }
    ScopedEnv marker("TALKWEFT_SHELL_TEST", "kept");
    EXPECT_EQ(calcShellEnv().at("TALKWEFT_SHELL_TEST"), "kept");
    // A caller can keep named variables from one child.
    const std::string script = "printf %s \"${TALKWEFT_SHELL_TEST-unset}\"";
    EXPECT_EQ(runShell("/bin/sh", {"-c", script}).out, "kept");
    EXPECT_EQ(runShell("/bin/sh", {"-c", script}, std::nullopt, std::nullopt, SHELL_TIMEOUT_SECONDS, {"TALKWEFT_SHELL_TEST"}).out,
              "unset");
}

TEST(Shell, StatusAndOutputs) {
    const struct {
        const char* script;
        int status;
        std::string out, err;
    } cases[] = {
        {"printf 'a\\n'; printf 'b' >&2; exit 1", 1, "a\n", "b"},
        {"printf 'ok\\377\\n'", 0, "ok\xEF\xBF\xBD\n", ""},  // a broken byte becomes U+FFFD
        {"kill -9 $$", 9, "", ""},                           // the signal number
        {"cat", 0, "", ""},                                   // no input text: end of file at once
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        auto r = runShell("/bin/sh", {"-c", c.script});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(Shell, WorkingFolderAndInput) {
    TempDir dir;
    auto r = runShell("/bin/sh", {"-c", "pwd; cat"}, dir.str(), std::string("line\n"));
    EXPECT_EQ(r.out, dir.str() + "\nline\n");
}

// Megabytes on both streams, and megabytes of input echoed back while it is still being written:
// neither side may wait for the other.
TEST(Shell, LargeStreamsDoNotStall) {
    auto r = runShell("/bin/sh", {"-c", "head -c 3000000 /dev/zero | tr '\\0' e >&2; head -c 3000000 /dev/zero | tr '\\0' o"},
                      std::nullopt, std::nullopt, 30.0);
    EXPECT_EQ(r.err.size(), 3000000u);
    EXPECT_EQ(r.out.size(), 3000000u);
    EXPECT_EQ(r.out.find_first_not_of('o'), std::string::npos);

    std::string input(2'000'000, 'i');
    auto echo = runShell("/bin/sh", {"-c", "cat; cat /dev/null >&2"}, std::nullopt, input, 30.0);
    EXPECT_EQ(echo.out, input);
}

TEST(Shell, LaunchFailuresThrowTheSystemError) {
    TempDir dir;
    testing::writeFile(dir.path() / "plain", "not a program");
    const struct {
        std::string path;
        std::optional<std::string> cwd;
    } cases[] = {
        {(dir.path() / "missing").string(), std::nullopt},
        {(dir.path() / "plain").string(), std::nullopt},
        {"/bin/sh", (dir.path() / "no-such-folder").string()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_THROW(runShell(c.path, {"-c", "true"}, c.cwd), std::system_error);
    }
}

// The limit may strike at any point of the child's start: whenever it does, the child is ended
// and reaped, and runShell says so instead of waiting the ten minutes out.
TEST(Shell, TimeLimitEndsAHangingChild) {
    auto begin = std::chrono::steady_clock::now();
    try {
        runShell("/bin/sleep", {"600"}, std::nullopt, std::nullopt, 0.2);
        FAIL() << "expected a timeout";
    } catch (const ShellTimeoutError& e) {
        EXPECT_EQ(std::string(e.what()), "/bin/sleep timed out after 0.2 seconds");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(60));
}

}  // namespace
}  // namespace talkweft
