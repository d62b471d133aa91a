// A private PulseAudio server for one test: its own runtime folder and socket, a null sink with a
// microphone made from its monitor, and a silent keep-alive stream (an idle monitor delivers
// nothing). Every process it starts is ended by its PID; a user's server is never touched.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace testpulse {

class PulseServer {
public:
    PulseServer() {
        std::string pattern = (std::filesystem::temp_directory_path() / "talkweft-pulse-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        socket_ = (dir_ / "pulse.sock").string();
        std::filesystem::create_directories(dir_ / "runtime");
        setenv("XDG_RUNTIME_DIR", (dir_ / "runtime").c_str(), 1);
        setenv("HOME", dir_.c_str(), 1);
        setenv("PULSE_SERVER", ("unix:" + socket_).c_str(), 1);
        server_ = spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "--log-target=stderr",
                         "--use-pid-file=no", "-L", "module-native-protocol-unix socket=" + socket_ + " auth-anonymous=1", "-L",
                         "module-null-sink sink_name=test_null", "-L",
                         "module-remap-source master=test_null.monitor source_name=virtual_mic"});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::system(("pactl -s unix:" + socket_ + " info >/dev/null 2>&1").c_str()) != 0) {
            if (std::chrono::steady_clock::now() > deadline || !alive(server_)) {
                ok_ = false;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // polling the server's answer
        }
        ok_ = pactl("set-default-sink test_null") && pactl("set-default-source virtual_mic");
        keepAlive_ = spawn({"pacat", "-s", "unix:" + socket_, "--playback", "--latency-msec=20", "--raw", "--format=s16le", "--rate=16000",
                            "--channels=1", "/dev/zero"});
    }
    ~PulseServer() {
        for (pid_t pid : {keepAlive_, server_})
            if (pid > 0) {
                kill(pid, SIGTERM);
                waitpid(pid, nullptr, 0);
            }
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    bool ok() const { return ok_; }
    std::string server() const { return "unix:" + socket_; }
    bool pactl(const std::string& args) const {
        return std::system(("pactl -s unix:" + socket_ + " " + args + " >/dev/null 2>&1").c_str()) == 0;
    }
    // Plays a file into the null sink (blocks until played).
    bool play(const std::string& path) const {
        return std::system(("paplay -s unix:" + socket_ + " --latency-msec=500 '" + path + "'").c_str()) == 0;
    }

private:
    static bool alive(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }
    static pid_t spawn(const std::vector<std::string>& args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_t pid = -1;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    std::filesystem::path dir_;
    std::string socket_;
    pid_t server_ = -1, keepAlive_ = -1;
    bool ok_ = true;
};

}  // namespace testpulse
