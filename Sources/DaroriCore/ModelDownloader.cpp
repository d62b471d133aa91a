#include "DaroriCore/ModelDownloader.hpp"

#include "DaroriCore/CollectionHelpers.hpp"
#include "DaroriCore/DaroriCoreError.hpp"
#include "DaroriCore/HubApiWrapper.hpp"
#include "DaroriCore/Logging.hpp"
#include "DaroriCore/ModelUtilities.hpp"

namespace darori {

namespace {

void requireSafeComponent(const std::string& part, const char* what) {
    if (part.empty() || part.find('/') != std::string::npos || !HubApi::isSafeRelativePath(part)) {
        throw DaroriCoreError::invalidConfiguration(std::string("The model ") + what + " \"" + part + "\" is not a plain folder name");
    }
}

}  // namespace

std::string ModelInfo::downloadPattern() const {
    return name + "/" + version.value_or("*") + "/" + variant.value_or("*") + "/*";
}

std::filesystem::path ModelInfo::modelURL(const std::filesystem::path& baseURL) const {
    requireSafeComponent(name, "name");
    std::filesystem::path url = baseURL / name;
    if (version) {
        requireSafeComponent(*version, "version");
        url /= *version;
    }
    if (variant) {
        requireSafeComponent(*variant, "variant");
        url /= *variant;
    }
    return url;
}

std::string ModelInfo::description() const {
    std::string out = name;
    if (version) out += "/" + *version;
    if (variant) out += "/" + *variant;
    return out;
}

std::string ModelInfo::debugDescription() const {
    return "ModelInfo(name: " + name + ", version: " + version.value_or("nil") + ", variant: " + variant.value_or("nil") +
           ", computeUnit: " + std::string(mlruntime::description(computeUnits)) + ")";
}

std::optional<std::filesystem::path> ModelInfo::findBaseFolder(const std::filesystem::path& url) const {
    std::filesystem::path current = url;
    while (std::distance(current.begin(), current.end()) >= 2) {
        if (current.filename() == name) return current.parent_path();
        if (current.filename().empty()) {  // a trailing "/" gives an empty last element
            current = current.parent_path();
            continue;
        }
        current = current.parent_path();
    }
    return std::nullopt;
}

ModelDownloader::ModelDownloader(ModelDownloadConfig config) : config_(std::move(config)) {}

ModelDownloader::ModelDownloader(std::string endpoint, std::string repoName, std::optional<std::string> modelToken,
                                 std::string revision, bool useBackgroundSession)
    : ModelDownloader(ModelDownloadConfig{std::nullopt, std::move(repoName), std::move(modelToken), std::nullopt,
                                          useBackgroundSession, std::move(endpoint), std::move(revision)}) {}

std::optional<std::filesystem::path> ModelDownloader::baseFolder(const std::optional<std::filesystem::path>& downloadBase) const {
    if (downloadBase) return downloadBase;
    if (config_.downloadBase) return std::filesystem::path(*config_.downloadBase);
    return std::nullopt;
}

HubApi ModelDownloader::makeHub(const std::optional<std::filesystem::path>& base, std::optional<bool> useOfflineMode) const {
    // An empty endpoint follows the hub client's rule (HUB_ENDPOINT, else none).
    HubApiWrapper wrapper(base, config_.modelToken, config_.endpoint.empty() ? std::nullopt : std::optional(config_.endpoint),
                          config_.useBackgroundSession);
    wrapper.impl.useOfflineMode = useOfflineMode;
    return wrapper.impl;
}

std::filesystem::path ModelDownloader::downloadModel(const ModelInfo& modelInfo, const std::optional<std::filesystem::path>& downloadBase,
                                                     std::optional<bool> useOfflineMode) const {
    const std::string pattern = modelInfo.downloadPattern();
    const HubApi hub = makeHub(downloadBase, useOfflineMode);
    if (useOfflineMode == true) {
        Logging::debug("[ModelDownloader] Searching for models matching \"" + pattern + "\" in " + config_.modelRepo + " (models)");
        // The local copy alone answers: no listing is asked of the hub.
        const auto folder = ModelDownloader::localRepoLocation(hub.downloadBase);
        std::string prefix = folder.string() + "/";
        std::vector<std::string> relative;
        for (const auto& file : getFileUrls(folder)) relative.push_back(file.string().substr(prefix.size()));
        if (matching(relative, pattern).empty()) {
            throw ModelDownloaderError::modelUnavailable("No models found matching \"" + pattern + "\" in " + config_.modelRepo);
        }
    }
    Logging::debug("[ModelDownloader] Downloading model " + pattern + " with offline mode: " +
                   (useOfflineMode == true ? "true" : "false"));
    return hub.snapshot(repo(), config_.revision, {pattern});
}

std::filesystem::path ModelDownloader::localRepoLocation(const std::optional<std::filesystem::path>& downloadBase) const {
    const HubApi hub = makeHub(baseFolder(downloadBase), std::nullopt);
    if (!HubApi::isSafeRelativePath(config_.modelRepo)) {
        throw DaroriCoreError::invalidConfiguration("The repository id \"" + config_.modelRepo + "\" leaves the download folder");
    }
    return hub.repoFolder(repo());
}

std::optional<std::filesystem::path> ModelDownloader::modelURLIfExists(const std::filesystem::path& folder, const std::string& name) const {
    if (name.empty() || name.find('/') != std::string::npos || !HubApi::isSafeRelativePath(name)) return std::nullopt;
    const auto candidate = ModelUtilities::detectModelURL(folder, name);
    std::error_code ec;
    if (std::filesystem::exists(candidate, ec)) return candidate;
    return std::nullopt;
}

std::filesystem::path ModelDownloader::resolveModel(const std::string& name, const ModelInfo& modelInfo,
                                                    const std::optional<std::filesystem::path>& modelFolder,
                                                    const std::optional<std::filesystem::path>& downloadBase, bool download,
                                                    const std::function<void(ModelState)>& modelStateCallback) const {
    requireSafeComponent(name, "file name");
    auto report = [&](ModelState state) {
        if (modelStateCallback) modelStateCallback(state);
    };
    std::optional<std::filesystem::path> explicitFolder = modelFolder;
    if (!explicitFolder && config_.modelFolder) explicitFolder = std::filesystem::path(*config_.modelFolder);
    if (explicitFolder) {
        if (auto url = ModelDownloader::modelURLIfExists(modelInfo.modelURL(*explicitFolder), name)) {
            Logging::debug("[ModelDownloader] Found " + name + " in model folder");
            return *url;
        }
    }
    const auto base = baseFolder(downloadBase);
    std::optional<std::filesystem::path> cached;
    try {
        cached = ModelDownloader::downloadModel(modelInfo, base, true);
    } catch (const DaroriCoreError&) {
        throw;  // an unsafe name or repository is no missing cache
    } catch (...) {
    }
    if (cached) {
        if (auto url = ModelDownloader::modelURLIfExists(modelInfo.modelURL(*cached), name)) {
            Logging::debug("[ModelDownloader] Found existing " + name + " in cache");
            report(ModelState::downloaded);
            return *url;
        }
    }
    if (!download) throw ModelDownloaderError::modelUnavailable("No model found for " + name + " (download disabled)");
    report(ModelState::downloading);
    const auto folder = ModelDownloader::downloadModel(modelInfo, base, std::nullopt);
    const auto url = ModelDownloader::modelURLIfExists(modelInfo.modelURL(folder), name);
    if (!url) throw ModelDownloaderError::modelUnavailable("No model found for " + name);
    Logging::debug("[ModelDownloader] Downloaded " + name);
    report(ModelState::downloaded);
    return *url;
}

std::string ModelDownloader::resolveModelPath(const std::string& name, const ModelInfo& modelInfo,
                                              const std::optional<std::filesystem::path>& modelFolder,
                                              const std::optional<std::filesystem::path>& downloadBase, bool download,
                                              const std::function<void(ModelState)>& modelStateCallback) const {
    return resolveModel(name, modelInfo, modelFolder, downloadBase, download, modelStateCallback).string();
}

bool ModelDownloader::patternsExistLocally(const std::vector<std::string>& patterns, const std::filesystem::path& repoFolder) const {
    for (const auto& pattern : patterns) {
        std::vector<std::string> fixed;
        std::size_t start = 0;
        while (start <= pattern.size()) {
            const auto slash = pattern.find('/', start);
            const std::string piece = pattern.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            if (!piece.empty()) {
                if (piece.find('*') != std::string::npos) break;
                fixed.push_back(piece);
            }
            if (slash == std::string::npos) break;
            start = slash + 1;
        }
        if (fixed.empty()) return false;
        std::filesystem::path folder = repoFolder;
        for (const auto& piece : fixed) {
            if (piece == "." || piece == "..") return false;  // never look outside the repository
            folder /= piece;
        }
        std::error_code ec;
        std::filesystem::directory_iterator it(folder, ec);
        if (ec || it == std::filesystem::directory_iterator()) return false;
    }
    return true;
}

std::filesystem::path ModelDownloader::resolveRepo(const std::vector<std::string>& patterns,
                                                   const std::optional<std::filesystem::path>& downloadBase, bool download,
                                                   const std::function<void(const Progress&)>& progressCallback) const {
    const auto base = baseFolder(downloadBase);
    const auto local = ModelDownloader::localRepoLocation(base);
    if (patternsExistLocally(patterns, local)) {
        try {
            const auto folder = makeHub(base, true).snapshot(repo(), config_.revision, patterns);
            Logging::debug("[ModelDownloader] Found valid local cache at " + folder.string());
            return folder;
        } catch (const std::exception& e) {
            Logging::debug("[ModelDownloader] Local cache for '" + config_.modelRepo + "' didn't validate (" + e.what() +
                           "); re-resolving.");
        }
    }
    if (!download) {
        throw ModelDownloaderError::modelUnavailable("No valid local models found for repo '" + config_.modelRepo +
                                                     "' and download is disabled.");
    }
    const HubApi hub = makeHub(base, std::nullopt);
    Logging::info("[ModelDownloader] Downloading " + std::to_string(patterns.size()) + " model(s) from " + config_.modelRepo + "...");
    const auto folder = hub.snapshot(repo(), config_.revision, patterns, progressCallback ? progressCallback : [](const Progress&) {});
    Logging::info("[ModelDownloader] Download complete: " + folder.string());
    return folder;
}

std::vector<std::string> ModelDownloader::fetchFilenames(const std::vector<std::string>& patterns,
                                                         const std::optional<std::filesystem::path>& downloadBase) const {
    return makeHub(baseFolder(downloadBase), std::nullopt).getFilenames(repo(), config_.revision, patterns);
}

}  // namespace darori
