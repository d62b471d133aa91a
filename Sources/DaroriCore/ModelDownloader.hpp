// Turns a model description, or a list of repository file patterns, into a local folder or file:
// an explicit model folder first, then the hub client's local copy of the model repository, and a
// download from the hub only when the caller allows it. The cache is probed from local files
// alone: a model already cached is used without any request, also when there is no network.
// Names and patterns are never joined into paths that leave the cache or the model folder.
//
// A downloader holds only its fixed configuration; every operation that needs the hub builds its
// own client. Thread-safe. Operations block while the hub client works.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "DaroriCore/External/Hub/HubApi.hpp"
#include "DaroriCore/ModelState.hpp"
#include "MLRuntime/ComputeUnits.hpp"

namespace darori {

struct ModelDownloadConfig {
    std::optional<std::string> downloadBase;  // base folder of the hub cache; absent: the hub client's default
    std::string modelRepo;                    // "owner/name"
    std::optional<std::string> modelToken;    // absent: from the environment
    std::optional<std::string> modelFolder;   // searched before the cache
    bool useBackgroundSession = false;
    std::string endpoint;                     // empty: HUB_ENDPOINT, else no hub
    std::string revision;
};

struct ModelInfo {
    std::optional<std::string> version;
    std::optional<std::string> variant;
    std::string name;
    mlruntime::ComputeUnits computeUnits = mlruntime::ComputeUnits::all;

    // name/(version or *)/(variant or *)/*
    std::string downloadPattern() const;
    // base/name[/version][/variant]. Throws DaroriCoreError::invalidConfiguration when a part is
    // empty or would leave `baseURL` ("..", "/", ...).
    std::filesystem::path modelURL(const std::filesystem::path& baseURL) const;
    // The present parts among name, version, variant joined by "/".
    std::string description() const;
    // "ModelInfo(name: N, version: V|nil, variant: W|nil, computeUnit: <units>)"
    std::string debugDescription() const;
    // The folder holding the nearest folder named `name` at or above `url`; absent when there is none.
    std::optional<std::filesystem::path> findBaseFolder(const std::filesystem::path& url) const;
};

class ModelDownloaderError : public std::runtime_error {
public:
    enum class Kind { modelUnavailable };
    static ModelDownloaderError modelUnavailable(const std::string& message) { return ModelDownloaderError(message); }
    Kind kind() const noexcept { return Kind::modelUnavailable; }
    std::string errorDescription() const { return what(); }

private:
    explicit ModelDownloaderError(const std::string& message) : std::runtime_error(message) {}
};

class ModelDownloader {
public:
    explicit ModelDownloader(ModelDownloadConfig config);
    ModelDownloader(std::string endpoint, std::string repoName, std::optional<std::string> modelToken, std::string revision,
                    bool useBackgroundSession);
    virtual ~ModelDownloader() = default;

    const ModelDownloadConfig& config() const { return config_; }

    // The repository's local folder once the files matching modelInfo.downloadPattern() are there.
    // useOfflineMode true: only the local copy counts (files matching the pattern must exist below
    // the repository folder, else modelUnavailable "No models found matching "<P>" in <repo>"), then
    // the hub client's offline check; no request is made. False or absent: a snapshot, online or
    // as the network monitor decides. Hub errors pass through.
    virtual std::filesystem::path downloadModel(const ModelInfo& modelInfo, const std::optional<std::filesystem::path>& downloadBase,
                                                std::optional<bool> useOfflineMode) const;
    // base/models/<modelRepo>; reads nothing. Throws DaroriCoreError::invalidConfiguration for a
    // repository id that would leave the base folder.
    virtual std::filesystem::path localRepoLocation(const std::optional<std::filesystem::path>& downloadBase) const;
    // The model file `name` of `modelInfo`: from the explicit folder (no state reported), else from
    // the cache (reports downloaded), else downloaded when `download` (reports downloading, then
    // downloaded). Throws modelUnavailable "No model found for <name> (download disabled)" or
    // "No model found for <name>", the hub's errors of the download, and
    // DaroriCoreError::invalidConfiguration for a name or model part that is no plain folder name.
    virtual std::filesystem::path resolveModel(const std::string& name, const ModelInfo& modelInfo,
                                               const std::optional<std::filesystem::path>& modelFolder,
                                               const std::optional<std::filesystem::path>& downloadBase, bool download,
                                               const std::function<void(ModelState)>& modelStateCallback = {}) const;
    // resolveModel (dynamically dispatched) as a path text.
    virtual std::string resolveModelPath(const std::string& name, const ModelInfo& modelInfo,
                                         const std::optional<std::filesystem::path>& modelFolder,
                                         const std::optional<std::filesystem::path>& downloadBase, bool download,
                                         const std::function<void(ModelState)>& modelStateCallback = {}) const;
    // The repository folder holding the files matching `patterns`: a local copy that validates
    // offline, else a download when `download` (progress to the callback), else modelUnavailable
    // "No valid local models found for repo '<repo>' and download is disabled."
    virtual std::filesystem::path resolveRepo(const std::vector<std::string>& patterns,
                                              const std::optional<std::filesystem::path>& downloadBase, bool download,
                                              const std::function<void(const Progress&)>& progressCallback = {}) const;
    // The repository's file names matching the patterns, from the hub.
    virtual std::vector<std::string> fetchFilenames(const std::vector<std::string>& patterns,
                                                    const std::optional<std::filesystem::path>& downloadBase) const;
    // The compiled model `name` in `folder` when an item exists there; absent for a name that is
    // no plain file name.
    virtual std::optional<std::filesystem::path> modelURLIfExists(const std::filesystem::path& folder, const std::string& name) const;

private:
    std::optional<std::filesystem::path> baseFolder(const std::optional<std::filesystem::path>& downloadBase) const;
    HubApi makeHub(const std::optional<std::filesystem::path>& base, std::optional<bool> useOfflineMode) const;
    HubApi::Repo repo() const { return {config_.modelRepo, HubApi::RepoType::models}; }
    bool patternsExistLocally(const std::vector<std::string>& patterns, const std::filesystem::path& repoFolder) const;

    const ModelDownloadConfig config_;
};

}  // namespace darori
