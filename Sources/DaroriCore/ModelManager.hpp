// The lifecycle of one set of model files: resolved once (a folder the user has, or a download
// through the loader), then loaded or prewarmed by a loader the user supplies, tracked as one
// ModelState with a change callback, unloaded on request. Concurrent ensureModelsLoaded() calls
// share one load.
//
// Thread safety: the state and the model path are guarded, so they may be read from any thread;
// only ensureModelsLoaded() coordinates its callers, and a user who calls the other operations
// concurrently must order them. The callback runs on the thread that changed the state.
#pragma once

#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "DaroriCore/External/Hub/Progress.hpp"
#include "DaroriCore/ModelDownloader.hpp"
#include "DaroriCore/ModelState.hpp"

namespace darori {

// What the manager's user supplies: every model-specific step.
class ModelLoader {
public:
    virtual ~ModelLoader() = default;
    // A folder of model files the user already has; when present the manager never downloads.
    virtual std::optional<std::string> modelFolder() const = 0;
    // Obtains the model files (typically through the downloader) and returns their folder.
    virtual std::string resolveModels(const ModelDownloader& downloader,
                                      const std::function<void(const Progress&)>& progressCallback) = 0;
    // Loads the models from `path`; prewarm is true when the manager prewarms.
    virtual void load(const std::string& path, bool prewarm) = 0;
    virtual void unload() = 0;
};

class ModelManager {
public:
    using StateCallback = std::function<void(ModelState oldState, ModelState newState)>;

    ModelManager(std::shared_ptr<ModelLoader> loader, std::shared_ptr<ModelDownloader> downloader);
    virtual ~ModelManager() = default;

    ModelState modelState() const;
    StateCallback modelStateCallback() const;
    void setModelStateCallback(StateCallback callback);
    std::optional<std::filesystem::path> modelPath() const;
    // The loader's modelFolder as a path.
    std::optional<std::filesystem::path> modelFolder() const;
    const std::shared_ptr<ModelDownloader>& downloader() const { return downloader_; }
    const std::shared_ptr<ModelLoader>& loader() const { return loader_; }
    bool isLoaded() const { return modelState() == ModelState::loaded; }
    // True in loading, loaded and downloaded.
    bool isAvailable() const;

    // From unloaded: the loader's folder (no download) or the loader's resolveModels; ends in
    // downloaded, or unloaded with the loader's error. In any other state only logs.
    virtual void downloadModels(const std::function<void(const Progress&)>& progressCallback = {});
    // Downloads first when unloaded, then loads with prewarm from downloaded (ends prewarmed).
    // Throws DaroriCoreError::invalidConfiguration "No model path available. Call downloadModels()
    // first, or provide modelFolder." or "Cannot prewarm in state: <state>"; the loader's errors
    // (state unloaded).
    virtual void prewarmModels();
    // As prewarmModels, loading from downloaded or prewarmed (ends loaded); "Cannot load in state: ".
    virtual void loadModels();
    // From loaded or prewarmed: unloading, the loader's unload, unloaded. Otherwise nothing.
    virtual void unloadModels();
    // Returns at once when loaded; otherwise downloads and loads, sharing one run among all callers
    // that arrive while it is under way: each gets its outcome (success or the same error).
    virtual void ensureModelsLoaded();

protected:
    void setModelState(ModelState state);
    std::string loggerName() const;
    std::string logPrefix() const;  // "[" + loggerName()

private:
    const std::shared_ptr<ModelLoader> loader_;
    const std::shared_ptr<ModelDownloader> downloader_;

    mutable std::mutex mutex_;
    ModelState modelState_ = ModelState::unloaded;      // guarded by mutex_
    StateCallback modelStateCallback_;                  // guarded by mutex_
    std::optional<std::filesystem::path> modelPath_;    // guarded by mutex_
    mutable std::string loggerName_;                    // guarded by mutex_

    std::mutex coordinatorMutex_;
    std::optional<std::shared_future<void>> inflightLoad_;  // guarded by coordinatorMutex_
};

}  // namespace darori
