// The real talkweft executable: started, driven over its socket by a second talkweft process, and
// ended with SIGTERM.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "DamagedSpeechModel.hpp"
#include "HubServer.hpp"
#include "MLRuntime/WhisperTestModels.hpp"
#include "Platform/FileDefaults.hpp"
#include "Platform/URLCommand.hpp"
#include "Talkweft/SettingsStore.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const fs::path BINARY = fs::path(TALKWEFT_BINARY_DIR) / "Sources" / "Talkweft" / "talkweft";

std::string readFile(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Polls `done` every 10 ms for at most 20 s (the program runs on its own; nothing to wait on).
template <class F>
bool waitFor(F done) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

class ExecutableTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(BINARY)) << BINARY;
        tmp = fs::temp_directory_path() / ("talkweft-exe-" + std::to_string(::getpid()));
        fs::remove_all(tmp);
        fs::create_directories(tmp / "xdg");
        fs::permissions(tmp / "xdg", fs::perms::owner_all);
        fs::create_directories(tmp / "home");
        talkweft::testing_support::writeDamagedSpeechModel(tmp / "support");
        for (const auto& [k, v] : std::vector<std::pair<std::string, fs::path>>{
                 {"XDG_RUNTIME_DIR", tmp / "xdg"}, {"HOME", tmp / "home"}, {"TALKWEFT_SUPPORT_DIR", tmp / "support"},
                 {"TALKWEFT_LOG_DIR", tmp / "log"}, {"TALKWEFT_CONFIG_DIR", tmp / "config"},
                 {"TALKWEFT_SCREENSHOTS_DIR", tmp / "shots"}})
            env.push_back(k + "=" + v.string());
        for (char** e = environ; *e; ++e) {
            std::string s = *e;
            bool overridden = false;
            for (const auto& o : env) overridden = overridden || s.substr(0, s.find('=') + 1) == o.substr(0, o.find('=') + 1);
            // No X display: these runs are on the simulated desktop.
            if (!overridden && s.rfind("DISPLAY=", 0) != 0) env.push_back(s);
        }
    }
    void TearDown() override {
        if (server > 0) {
            ::kill(server, SIGKILL);
            ::waitpid(server, nullptr, 0);
        }
        fs::remove_all(tmp);
    }

    // Runs talkweft with `args`; stdout and stderr go to `out`. Returns the pid.
    pid_t spawn(const std::vector<std::string>& args, const fs::path& out) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> argv{const_cast<char*>(BINARY.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_t pid = 0;
        EXPECT_EQ(posix_spawn(&pid, BINARY.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    // Runs talkweft to its end; returns its exit status and output.
    std::pair<int, std::string> run(const std::vector<std::string>& args) {
        fs::path out = tmp / ("client-" + std::to_string(++clients) + ".txt");
        pid_t pid = spawn(args, out);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out)};
    }
    std::string log() { return readFile(tmp / "log" / "talkweft.log"); }

    fs::path tmp;
    std::vector<std::string> env;
    pid_t server = 0;
    int clients = 0;
};

}  // namespace

TEST_F(ExecutableTest, StartsTakesURLCommandsAndQuitsCleanly) {
    fs::path socket = tmp / "xdg" / "talkweft" / "talkweft.sock";
    auto [noneCode, noneOut] = run({"talkweft://probe"});
    EXPECT_EQ(noneCode, 1);
    EXPECT_EQ(noneOut, "talkweft: no running instance\n");

    server = spawn({}, tmp / "server.txt");
    ASSERT_TRUE(waitFor([&] { return talkweft::platform::isURLCommandListenerRunning(socket.string()); }));
    EXPECT_EQ(fs::status(socket.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);

    auto [second, secondOut] = run({});
    EXPECT_EQ(second, 1);
    EXPECT_EQ(secondOut, "talkweft: another instance is running\n");

    EXPECT_EQ(run({"talkweft://probe"}).first, 0);
    EXPECT_EQ(run({"talkweft://run?mode=agent&text=make%20it%20shorter"}).first, 0);
    EXPECT_EQ(run({"talkweft://nonsense"}).first, 0);
    ASSERT_TRUE(waitFor([&] {
        std::string l = log();
        return l.find("agent error: ") != std::string::npos && l.find("url: ignored") != std::string::npos;
    })) << log();
    std::string text = log();
    EXPECT_NE(text.find(" launched\n"), std::string::npos);
    EXPECT_NE(text.find(" probe subject=window:Scratchpad secure=false\n{\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" agent: Claude Code app=org.talkweft.Scratchpad subject=window:Scratchpad field=0 full=true\n"),
              std::string::npos);
    EXPECT_NE(text.find(" agent error: Couldn't start agent: no executable at "), std::string::npos);
    EXPECT_NE(text.find(" url: ignored, unknown command\n"), std::string::npos);
    ASSERT_TRUE(waitFor([&] { return readFile(tmp / "server.txt").find("Speech model failed to load") != std::string::npos; }));

    ASSERT_EQ(::kill(server, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(server, &status, 0), server);
    server = 0;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // With no X display the simulated desktop runs, and says so.
    EXPECT_EQ(readFile(tmp / "server.txt"), "talkweft: desktop: the simulated desktop (no X display answers)\n"
                                            "talkweft: listening for URL commands on " + socket.string() +
                                                "\nstatus: Loading speech model…\nstatus: Speech model failed to load\n");
    EXPECT_FALSE(fs::exists(socket));
    EXPECT_EQ(run({"talkweft://probe"}).first, 1);
}

TEST_F(ExecutableTest, QuitStopsARunningAgentAtOnce) {
    // The default agent path lies under HOME: a fake agent there that would run for a minute.
    fs::path agent = tmp / "home" / ".local" / "bin" / "claude";
    fs::create_directories(agent.parent_path());
    std::ofstream(agent) << "#!/bin/sh\nexec sleep 60\n";
    fs::permissions(agent, fs::perms::owner_all);
    fs::path socket = tmp / "xdg" / "talkweft" / "talkweft.sock";
    server = spawn({}, tmp / "server.txt");
    ASSERT_TRUE(waitFor([&] { return talkweft::platform::isURLCommandListenerRunning(socket.string()); }));
    EXPECT_EQ(run({"talkweft://run?text=wait"}).first, 0);
    ASSERT_TRUE(waitFor([&] { return log().find(" agent: Claude Code app=") != std::string::npos; })) << log();

    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(::kill(server, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(server, &status, 0), server);
    server = 0;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(ExecutableTest, RuntimeFolderTooLongForASocketIsReported) {
    fs::path deep = tmp / std::string(120, 'x');
    fs::create_directories(deep);
    for (auto& e : env)
        if (e.rfind("XDG_RUNTIME_DIR=", 0) == 0) e = "XDG_RUNTIME_DIR=" + deep.string();
    std::string socket = (deep / "talkweft" / "talkweft.sock").string();
    EXPECT_EQ(run({}), std::make_pair(1, "talkweft: socket path too long: " + socket + "\n"));
    EXPECT_EQ(run({"talkweft://probe"}), std::make_pair(1, "talkweft: socket path too long: " + socket + "\n"));
}

TEST_F(ExecutableTest, RuntimeFolderThatIsNotPrivateIsRefused) {
    // Without XDG_RUNTIME_DIR the folder lies in the shared temporary folder, where someone else may
    // have put a link to a folder of theirs first.
    std::erase_if(env, [](const std::string& e) { return e.rfind("XDG_RUNTIME_DIR=", 0) == 0 || e.rfind("TMPDIR=", 0) == 0; });
    env.push_back("TMPDIR=" + (tmp / "shared").string());
    fs::create_directories(tmp / "shared");
    fs::create_directories(tmp / "theirs");
    fs::path dir = tmp / "shared" / ("talkweft-" + std::to_string(::getuid()));
    fs::create_directory_symlink(tmp / "theirs", dir);
    std::string refusal = "talkweft: " + dir.string() + " is not a private folder of this user\n";
    EXPECT_EQ(run({}), std::make_pair(1, refusal));
    EXPECT_EQ(run({"talkweft://probe"}), std::make_pair(1, refusal));
    EXPECT_TRUE(fs::is_empty(tmp / "theirs"));

    // A folder of this user's that others could enter is made private.
    fs::remove(dir);
    fs::create_directory(dir);
    fs::permissions(dir, fs::perms::all);
    server = spawn({}, tmp / "server.txt");
    ASSERT_TRUE(waitFor([&] { return talkweft::platform::isURLCommandListenerRunning((dir / "talkweft.sock").string()); }));
    EXPECT_EQ(fs::status(dir).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST_F(ExecutableTest, IdleConnectionsDoNotDelayACommand) {
    fs::path socket = tmp / "xdg" / "talkweft" / "talkweft.sock";
    server = spawn({}, tmp / "server.txt");
    ASSERT_TRUE(waitFor([&] { return talkweft::platform::isURLCommandListenerRunning(socket.string()); }));
    // Connections that never send anything, more than the listen backlog holds.
    std::vector<int> idle;
    for (int i = 0; i < 20; ++i) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, socket.c_str());
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << i;
        idle.push_back(fd);
    }
    EXPECT_EQ(run({"talkweft://probe"}), std::make_pair(0, std::string()));
    ASSERT_TRUE(waitFor([&] { return log().find(" probe subject=") != std::string::npos; })) << log();
    for (int fd : idle) ::close(fd);
}

TEST_F(ExecutableTest, HelpVersionAndUnknownArguments) {
    const std::string version = std::string("talkweft ") + TALKWEFT_VERSION + "\n";
    for (const char* arg : {"--version", "-v"}) EXPECT_EQ(run({arg}), std::make_pair(0, version)) << arg;
    for (const char* arg : {"--help", "-h"}) {
        auto [code, out] = run({arg});
        EXPECT_EQ(code, 0) << arg;
        EXPECT_EQ(out.rfind(version + "\nusage: talkweft [--help | --version | --install | --uninstall | --import-model SOURCE [NAME] | URL]\n", 0), 0u) << out;
        EXPECT_NE(out.find("talkweft://run?mode=agent|dictate&text=...&delay=S"), std::string::npos) << out;
    }
    auto [code, out] = run({"--frobnicate"});
    EXPECT_EQ(code, 2);
    EXPECT_EQ(out.rfind("talkweft: unknown argument: --frobnicate\n\nusage: talkweft [--help | --version | --install | --uninstall | --import-model SOURCE [NAME] | URL]\n", 0), 0u) << out;
    // None of them starts an instance.
    EXPECT_FALSE(fs::exists(tmp / "xdg" / "talkweft" / "talkweft.sock"));
    EXPECT_FALSE(fs::exists(tmp / "log"));
}

TEST_F(ExecutableTest, ADamagedDefaultsFileIsMovedAsideAtLaunch) {
    fs::create_directories(tmp / "config");
    const std::string deep = "{\"settings\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
    std::ofstream(tmp / "config" / "defaults.json") << deep;
    fs::path socket = tmp / "xdg" / "talkweft" / "talkweft.sock";
    server = spawn({}, tmp / "server.txt");
    ASSERT_TRUE(waitFor([&] { return talkweft::platform::isURLCommandListenerRunning(socket.string()); }))
        << readFile(tmp / "server.txt");
    EXPECT_EQ(run({"talkweft://probe"}).first, 0);
    ASSERT_TRUE(waitFor([&] { return log().find(" probe subject=") != std::string::npos; })) << log();
    const std::string line = " defaults: " + (tmp / "config" / "defaults.json").string() +
                             " is damaged (nested deeper than 512 levels), moved to ";
    EXPECT_NE(log().find(line), std::string::npos) << log();
    int aside = 0;
    for (const auto& e : fs::directory_iterator(tmp / "config")) {
        if (e.path().filename().string().rfind("defaults.json.damaged-", 0) == 0) {
            ++aside;
            EXPECT_EQ(readFile(e.path()), deep);
        }
    }
    EXPECT_EQ(aside, 1);
}

// The model import command: a local checkpoint, a repository of the hub (HUB_ENDPOINT), a damaged
// checkpoint and wrong arguments, each with its exit status and message.
TEST_F(ExecutableTest, ImportModelCommand) {
    const fs::path models = tmp / "support/Models/zadezariro/models/zevidirev/zadezariro-coreml";
    mlruntime::testmodels::CheckpointOptions options;
    options.size = *mlruntime::testmodels::namedSize("test");
    mlruntime::testmodels::writeCheckpoint(tmp / "checkpoint", options);

    auto [code, out] = run({"--import-model", (tmp / "checkpoint").string()});
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(out, "talkweft: imported speech model \"openai_whisper-test\" into " + (models / "openai_whisper-test").string() +
                       "\ntalkweft: to use it, enter \"openai_whisper-test\" under Settings › General › Whisper model\n");
    EXPECT_TRUE(fs::exists(models / "openai_whisper-test/TextDecoder.mlmodelc/weights.bin"));
    // The settings name it already: the command says so.
    {
        talkweft::platform::FileDefaults defaults(tmp / "config" / "defaults.json");
        talkweft::SettingsStore(defaults).update([](talkweft::Settings& s) { s.whisperModel = "openai_whisper-test"; });
    }
    std::tie(code, out) = run({"--import-model", (tmp / "checkpoint").string()});
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(out.find("\ntalkweft: \"openai_whisper-test\" is already the chosen speech model\n"), std::string::npos) << out;

    // Without a hub address a repository cannot be fetched: the error says what to do, at once.
    std::tie(code, out) = run({"--import-model", "openai/whisper-tiny"});
    EXPECT_EQ(code, 1);
    EXPECT_EQ(out, "talkweft: import failed: No model hub address is set: set HUB_ENDPOINT to the model hub's address, or "
                   "import a checkpoint already on disk with `talkweft --import-model`\n");

    hubtests::HubServer hub;
    for (const auto& entry : fs::directory_iterator(tmp / "checkpoint"))
        hub.addFile("owner/whisper-hub", entry.path().filename().string(), readFile(entry.path()));
    std::erase_if(env, [](const std::string& e) { return e.rfind("HUB_ENDPOINT=", 0) == 0; });
    env.push_back("HUB_ENDPOINT=" + hub.endpoint());
    std::tie(code, out) = run({"--import-model", "owner/whisper-hub"});
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(out.find("talkweft: downloading owner/whisper-hub: 100%\n"), std::string::npos) << out;
    EXPECT_NE(out.find("talkweft: imported speech model \"owner_whisper-hub\""), std::string::npos) << out;
    EXPECT_TRUE(fs::exists(models / "owner_whisper-hub/config.json"));

    fs::resize_file(tmp / "checkpoint/model.safetensors", fs::file_size(tmp / "checkpoint/model.safetensors") - 10);
    std::tie(code, out) = run({"--import-model", (tmp / "checkpoint").string(), "broken"});
    EXPECT_EQ(code, 1);
    EXPECT_EQ(out.rfind("talkweft: import failed: " + (tmp / "checkpoint/model.safetensors").string() + ": tensor \"", 0), 0u) << out;
    EXPECT_NE(out.find("lie past the end of the data"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(models / "broken"));

    for (const std::vector<std::string>& args : {std::vector<std::string>{"--import-model"},
                                                 std::vector<std::string>{"--import-model", "a", "b", "c"}}) {
        std::tie(code, out) = run(args);
        EXPECT_EQ(code, 2);
        EXPECT_EQ(out.rfind("talkweft: --import-model needs SOURCE and at most a NAME\n\nusage: ", 0), 0u) << out;
    }
    EXPECT_FALSE(fs::exists(tmp / "xdg" / "talkweft" / "talkweft.sock")) << "no instance is started";
}
