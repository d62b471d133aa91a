#include "HubServer.hpp"

#include <cstdio>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "DaroriCore/External/Hub/URLSession.hpp"

extern char** environ;

namespace hubtests {

HubServer::HubServer(const nlohmann::json& switches) {
    // Found from the source tree, so other test programs can run the same hub.
    const std::string script = std::string(TALKWEFT_SOURCE_DIR) + "/Tests/HubTests/hub_server.py";
    std::vector<std::string> args{"python3", script, "--root", root_.path().string()};
    for (const auto& [key, value] : switches.items()) {
        std::string name = key;
        for (char& c : name) if (c == '_') c = '-';
        args.push_back("--" + name);
        args.push_back(value.dump());
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    // Debian's interpreter directly: a version-manager shim found first on PATH costs a second.
    const char* python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    const int rc = posix_spawnp(&pid_, python, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        throw std::runtime_error("could not start the test hub");
    }
    FILE* out = fdopen(fds[0], "r");
    char line[128] = {0};
    const bool gotLine = fgets(line, sizeof line, out) != nullptr;
    fclose(out);
    if (!gotLine || std::sscanf(line, "PORT %d", &port_) != 1) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        throw std::runtime_error("the test hub did not report its port");
    }
}

HubServer::~HubServer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

void HubServer::addFile(const std::string& repo, const std::string& name, std::string_view bytes, const std::string& type) const {
    writeFile(root_.path() / type / repo / name, bytes);
}

void HubServer::configure(const nlohmann::json& switches) const {
    darori::URLRequest request;
    request.url = endpoint() + "/__config";
    request.method = "POST";
    request.body = switches.dump();
    const auto [body, response] = darori::URLSession::data(request, false);
    if (response.statusCode != 200) throw std::runtime_error("the test hub refused its switches");
}

nlohmann::json HubServer::requests() const {
    darori::URLRequest request;
    request.url = endpoint() + "/__log";
    return nlohmann::json::parse(darori::URLSession::data(request, false).first);
}

}  // namespace hubtests
