// Runs the test hub (hub_server.py) on 127.0.0.1 with a port of its own, serving a temporary
// folder, for as long as this object lives. Its switches are changed with configure().
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "TempFolder.hpp"

namespace hubtests {

class HubServer {
public:
    // Starts the server with `switches` (a JSON object of its switches) and waits for its port.
    explicit HubServer(const nlohmann::json& switches = nlohmann::json::object());
    // Ends the server by its process id and waits for it.
    ~HubServer();
    HubServer(const HubServer&) = delete;
    HubServer& operator=(const HubServer&) = delete;

    // http://127.0.0.1:<port>, https:// when started with the "tls" switch.
    std::string endpoint() const { return scheme_ + "://127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }
    // The folder served: <type>/<owner>/<name>/<files>.
    const std::filesystem::path& root() const { return root_.path(); }
    // Writes a file of model repository `repo` ("owner/name").
    void addFile(const std::string& repo, const std::string& name, std::string_view bytes,
                 const std::string& type = "models") const;
    // Merges switches into the running server's.
    void configure(const nlohmann::json& switches) const;
    // The requests received so far (method, path as sent, headers), oldest first.
    nlohmann::json requests() const;

private:
    std::string scheme_;
    TempFolder root_;
    int pid_ = -1;
    int port_ = 0;
};

// Runs connect_proxy.py on 127.0.0.1: an HTTP proxy that opens CONNECT tunnels to 127.0.0.1 only.
class ConnectProxy {
public:
    ConnectProxy();
    ~ConnectProxy();
    ConnectProxy(const ConnectProxy&) = delete;
    ConnectProxy& operator=(const ConnectProxy&) = delete;

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // The "host:port" targets of the tunnels opened so far.
    std::vector<std::string> tunnels() const;

private:
    int pid_ = -1;
    int port_ = 0;
};

// Writes a self-signed certificate for 127.0.0.1 and its key with the openssl tool. Throws
// std::runtime_error when the tool fails.
void writeSelfSignedCertificate(const std::filesystem::path& certificate, const std::filesystem::path& key);

}  // namespace hubtests
