// The engine's handle on the hub client: builds a HubApi from its arguments or the environment,
// converts the engine's repository references into the client's, and computes where a repository
// lies on disk. A value; copies share the client's network monitor. Thread-safe.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "DaroriCore/External/Hub/HubApi.hpp"

namespace darori {

struct HubApiWrapper {
    enum class RepoType { models, datasets, spaces };
    // "models", "datasets", "spaces".
    static std::string rawValue(RepoType type);
    // The kind of exactly one of those texts (case-sensitive); absent otherwise.
    static std::optional<RepoType> repoType(std::string_view rawValue);

    struct Repo {
        std::string id;  // "owner/name"
        RepoType type = RepoType::models;
        friend bool operator==(const Repo&, const Repo&) = default;
    };

    HubApi impl;

    // networkMonitor: a new monitor. hubToken: the argument when present (even empty), else
    // HubApi::hubTokenFromEnv(). With CI_DISABLE_NETWORK_MONITOR exactly "1" prints "✅ got token"
    // or "🔴 NO TOKEN **" on standard output. downloadBase: the argument, else the user's Documents
    // folder + "modelhub" (userDocumentsFolder(); throws std::runtime_error when no home folder is
    // known). endpoint: the argument when present (even empty), else
    // HubApi::hubEndpointFromEnv(). useOfflineMode absent. Starts the shared network monitor.
    explicit HubApiWrapper(std::optional<std::filesystem::path> downloadBase = std::nullopt,
                           std::optional<std::string> hubToken = std::nullopt,
                           std::optional<std::string> endpoint = std::nullopt, bool useBackgroundSession = false);

    // One wrapper with every default, made on first use (thread-safe).
    static const HubApiWrapper& shared();

    // HubApi::snapshot and HubApi::getFilenames of the wrapped client for the converted reference;
    // results and errors unchanged.
    std::filesystem::path snapshot(const Repo& repo, const std::string& revision = "main",
                                   const std::vector<std::string>& globs = {},
                                   const std::function<void(const Progress&)>& progressHandler = {},
                                   std::stop_token stop = {}) const;
    std::vector<std::string> getFilenames(const Repo& repo, const std::string& revision = "main",
                                          const std::vector<std::string>& globs = {}) const;

    // downloadBase / kind / id; nothing is read or created. Throws
    // DaroriCoreError::invalidConfiguration for an id that would leave the download folder.
    std::filesystem::path localRepoLocation(const Repo& repo) const;

    static HubApi::Repo convert(const Repo& repo);
    // The user's Documents folder; throws std::runtime_error when it cannot be found.
    static std::filesystem::path documentsFolder();
};

// Repo as JSON: {"id": ..., "type": raw value}; from_json throws nlohmann::ordered_json::exception
// for a missing key or an unknown kind. RepoType as its raw value.
void to_json(nlohmann::ordered_json& json, const HubApiWrapper::Repo& repo);
void from_json(const nlohmann::ordered_json& json, HubApiWrapper::Repo& repo);
void to_json(nlohmann::ordered_json& json, HubApiWrapper::RepoType type);
void from_json(const nlohmann::ordered_json& json, HubApiWrapper::RepoType& type);

}  // namespace darori

template <>
struct std::hash<darori::HubApiWrapper::Repo> {
    std::size_t operator()(const darori::HubApiWrapper::Repo& r) const noexcept {
        const std::size_t h = std::hash<std::string>()(r.id);
        return h ^ (std::hash<std::string>()(darori::HubApiWrapper::rawValue(r.type)) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
    }
};
template <>
struct std::hash<darori::HubApi::Repo> {
    std::size_t operator()(const darori::HubApi::Repo& r) const noexcept {
        const std::size_t h = std::hash<std::string>()(r.id);
        return h ^ (std::hash<std::string>()(darori::HubApi::repoTypeText(r.type)) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
    }
};
