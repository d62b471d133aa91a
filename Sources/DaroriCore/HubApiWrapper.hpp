// The engine's handle on the hub client: builds a HubApi from its arguments or the environment and
// forwards snapshots to it. A value; copies share the client's network monitor.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "DaroriCore/External/Hub/HubApi.hpp"

namespace darori {

struct HubApiWrapper {
    HubApi impl;

    // downloadBase: the argument, else the user's Documents folder + "modelhub" (XDG_DOCUMENTS_DIR,
    // else $HOME/Documents; throws std::runtime_error when neither is known). hubToken: the
    // argument, else HubApi::hubTokenFromEnv(). endpoint: the argument, else
    // HubApi::hubEndpointFromEnv(). The client gets a monitor of its own; the shared monitor is
    // started. With CI_DISABLE_NETWORK_MONITOR exactly "1" prints "✅ got token" or
    // "🔴 NO TOKEN **" on standard output.
    explicit HubApiWrapper(std::optional<std::filesystem::path> downloadBase = std::nullopt,
                           std::optional<std::string> hubToken = std::nullopt,
                           std::optional<std::string> endpoint = std::nullopt, bool useBackgroundSession = false);

    // HubApi::snapshot of the wrapped client.
    std::filesystem::path snapshot(const HubApi::Repo& repo, const std::string& revision = "main",
                                   const std::vector<std::string>& globs = {},
                                   const std::function<void(const Progress&)>& progressHandler = {},
                                   std::stop_token stop = {}) const {
        return impl.snapshot(repo, revision, globs, progressHandler, stop);
    }

    // The user's Documents folder; throws std::runtime_error when it cannot be found.
    static std::filesystem::path documentsFolder();
};

}  // namespace darori
