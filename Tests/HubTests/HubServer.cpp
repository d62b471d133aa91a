#include "HubServer.hpp"

#include <cstdio>
#include <tuple>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "DaroriCore/External/Hub/URLSession.hpp"

extern char** environ;

namespace hubtests {

namespace {

// Starts `args` (a Python script and its arguments) with standard output on a pipe and reads its
// "PORT <n>" line. Returns the process id and the port.
std::pair<int, int> startScript(std::vector<std::string> args, const char* what) {
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
    int pid = -1;
    const int rc = posix_spawnp(&pid, python, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        throw std::runtime_error(std::string("could not start ") + what);
    }
    FILE* out = fdopen(fds[0], "r");
    char line[128] = {0};
    const bool gotLine = fgets(line, sizeof line, out) != nullptr;
    fclose(out);
    int port = 0;
    if (!gotLine || std::sscanf(line, "PORT %d", &port) != 1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        throw std::runtime_error(std::string(what) + " did not report its port");
    }
    return {pid, port};
}

void stopScript(int pid) {
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
}

std::string scriptPath(const char* name) {
    // Found from the source tree, so other test programs can run the same scripts.
    return std::string(TALKWEFT_SOURCE_DIR) + "/Tests/HubTests/" + name;
}

}  // namespace

HubServer::HubServer(const nlohmann::json& switches) : scheme_(switches.contains("tls") ? "https" : "http") {
    std::vector<std::string> args{"python3", scriptPath("hub_server.py"), "--root", root_.path().string()};
    for (const auto& [key, value] : switches.items()) {
        std::string name = key;
        for (char& c : name) if (c == '_') c = '-';
        args.push_back("--" + name);
        args.push_back(value.dump());
    }
    std::tie(pid_, port_) = startScript(std::move(args), "the test hub");
}

HubServer::~HubServer() { stopScript(pid_); }

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

ConnectProxy::ConnectProxy() { std::tie(pid_, port_) = startScript({"python3", scriptPath("connect_proxy.py")}, "the test proxy"); }

ConnectProxy::~ConnectProxy() { stopScript(pid_); }

std::vector<std::string> ConnectProxy::tunnels() const {
    darori::URLRequest request;
    request.url = url() + "/__log";
    return nlohmann::json::parse(darori::URLSession::data(request, false).first).get<std::vector<std::string>>();
}

void writeSelfSignedCertificate(const std::filesystem::path& certificate, const std::filesystem::path& key) {
    std::vector<std::string> args{"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                                  "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                                  "-keyout", key.string(), "-out", certificate.string()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = certificate.string() + ".log";
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int pid = -1;
    const int rc = posix_spawnp(&pid, "openssl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (rc != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("openssl could not make a test certificate (is the openssl tool installed?): " + readFile(log));
    }
}

}  // namespace hubtests
