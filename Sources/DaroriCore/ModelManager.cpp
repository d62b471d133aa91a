#include "DaroriCore/ModelManager.hpp"

#include <cxxabi.h>
#include <typeinfo>

#include "DaroriCore/DaroriCoreError.hpp"
#include "DaroriCore/Logging.hpp"

namespace darori {

namespace {
// The text of the exception being handled; a loader may throw anything, not only std::exception.
std::string failureText() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}
}  // namespace

ModelManager::ModelManager(std::shared_ptr<ModelLoader> loader, std::shared_ptr<ModelDownloader> downloader)
    : loader_(std::move(loader)), downloader_(std::move(downloader)) {}

ModelState ModelManager::modelState() const {
    std::lock_guard guard(mutex_);
    return modelState_;
}

ModelManager::StateCallback ModelManager::modelStateCallback() const {
    std::lock_guard guard(mutex_);
    return modelStateCallback_;
}

void ModelManager::setModelStateCallback(StateCallback callback) {
    std::lock_guard guard(mutex_);
    modelStateCallback_ = std::move(callback);
}

std::optional<std::filesystem::path> ModelManager::modelPath() const {
    std::lock_guard guard(mutex_);
    return modelPath_;
}

std::optional<std::filesystem::path> ModelManager::modelFolder() const {
    if (auto folder = loader_->modelFolder()) return std::filesystem::path(*folder);
    return std::nullopt;
}

bool ModelManager::isAvailable() const {
    const ModelState s = modelState();
    return s == ModelState::loading || s == ModelState::loaded || s == ModelState::downloaded;
}

void ModelManager::setModelState(ModelState state) {
    ModelState old;
    StateCallback callback;
    {
        std::lock_guard guard(mutex_);
        old = modelState_;
        modelState_ = state;
        callback = modelStateCallback_;
    }
    if (old != state && callback) callback(old, state);
}

std::string ModelManager::loggerName() const {
    std::lock_guard guard(mutex_);
    if (loggerName_.empty()) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(typeid(*this).name(), nullptr, nullptr, &status);
        std::string name = status == 0 && demangled ? demangled : typeid(*this).name();
        std::free(demangled);
        if (const auto colon = name.rfind("::"); colon != std::string::npos) name = name.substr(colon + 2);
        loggerName_ = name;
    }
    return loggerName_;
}

std::string ModelManager::logPrefix() const {
    std::string prefix(1, '[');
    prefix.append(loggerName());
    return prefix;
}

void ModelManager::downloadModels(const std::function<void(const Progress&)>& progressCallback) {
    const std::string prefix = logPrefix();
    const ModelState state = modelState();
    if (state != ModelState::unloaded) {
        Logging::debug(prefix + "] Models already downloaded (state: " + description(state) + "), skipping download");
        return;
    }
    if (const auto folder = loader_->modelFolder()) {
        Logging::debug(prefix + "] modelFolder is set, skipping download");
        {
            std::lock_guard guard(mutex_);
            modelPath_ = std::filesystem::path(*folder);
        }
        setModelState(ModelState::downloaded);
        return;
    }
    Logging::info(prefix + "] Starting download process...");
    setModelState(ModelState::downloading);
    std::string path;
    try {
        path = loader_->resolveModels(*downloader_, progressCallback);
    } catch (...) {
        setModelState(ModelState::unloaded);
        Logging::error(prefix + "] Failed to download models: " + failureText());
        throw;
    }
    {
        std::lock_guard guard(mutex_);
        modelPath_ = std::filesystem::path(path);
    }
    setModelState(ModelState::downloaded);
    Logging::info(prefix + "] Models downloaded to " + path);
}

namespace {
std::string requirePath(const std::optional<std::filesystem::path>& modelPath, const std::optional<std::string>& loaderFolder) {
    if (modelPath) return modelPath->string();
    if (loaderFolder) return *loaderFolder;
    throw DaroriCoreError::invalidConfiguration("No model path available. Call downloadModels() first, or provide modelFolder.");
}
}  // namespace

void ModelManager::prewarmModels() {
    const std::string prefix = logPrefix();
    if (modelState() == ModelState::unloaded) downloadModels();
    const std::string path = requirePath(modelPath(), loader_->modelFolder());
    const ModelState state = modelState();
    if (state == ModelState::prewarmed) {
        Logging::debug(prefix + "] Models already prewarmed, skipping");
        return;
    }
    if (state != ModelState::downloaded) {
        throw DaroriCoreError::invalidConfiguration("Cannot prewarm in state: " + description(state));
    }
    setModelState(ModelState::prewarming);
    try {
        loader_->load(path, true);
    } catch (...) {
        setModelState(ModelState::unloaded);
        Logging::error(prefix + "] Failed to prewarm models: " + failureText());
        throw;
    }
    setModelState(ModelState::prewarmed);
    Logging::info(prefix + "] Models prewarmed successfully");
}

void ModelManager::loadModels() {
    const std::string prefix = logPrefix();
    if (modelState() == ModelState::unloaded) downloadModels();
    const std::string path = requirePath(modelPath(), loader_->modelFolder());
    const ModelState state = modelState();
    if (state == ModelState::loaded) {
        Logging::debug(prefix + "] Models already loaded, skipping");
        return;
    }
    if (state != ModelState::prewarmed && state != ModelState::downloaded) {
        throw DaroriCoreError::invalidConfiguration("Cannot load in state: " + description(state));
    }
    setModelState(ModelState::loading);
    try {
        loader_->load(path, false);
    } catch (...) {
        setModelState(ModelState::unloaded);
        Logging::error(prefix + "] Failed to load models: " + failureText());
        throw;
    }
    setModelState(ModelState::loaded);
    Logging::info(prefix + "] Models loaded successfully");
}

void ModelManager::unloadModels() {
    const ModelState state = modelState();
    if (state != ModelState::loaded && state != ModelState::prewarmed) return;
    setModelState(ModelState::unloading);
    loader_->unload();
    setModelState(ModelState::unloaded);
}

void ModelManager::ensureModelsLoaded() {
    if (modelState() == ModelState::loaded) return;
    std::shared_future<void> shared;
    std::promise<void> promise;
    bool runHere = false;
    {
        std::lock_guard guard(coordinatorMutex_);
        if (inflightLoad_) {
            shared = *inflightLoad_;
        } else {
            shared = promise.get_future().share();
            inflightLoad_ = shared;
            runHere = true;
        }
    }
    if (!runHere) {
        shared.get();
        return;
    }
    std::exception_ptr failure;
    try {
        if (modelState() != ModelState::loaded) {
            downloadModels();
            loadModels();
        }
    } catch (...) {
        failure = std::current_exception();
    }
    {
        std::lock_guard guard(coordinatorMutex_);
        inflightLoad_.reset();
    }
    if (failure) {
        promise.set_exception(failure);
        std::rethrow_exception(failure);
    }
    promise.set_value();
}

}  // namespace darori
