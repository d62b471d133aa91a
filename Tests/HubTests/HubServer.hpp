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

    std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
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
    TempFolder root_;
    int pid_ = -1;
    int port_ = 0;
};

}  // namespace hubtests
