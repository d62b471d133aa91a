#include "ZadezarIro/Core/ModelRepository.hpp"
#include "ZadezarIro/Utilities/Extensions.hpp"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "Cancellation/Cancellation.hpp"
#include "DaroriCore/CollectionHelpers.hpp"
#include "DaroriCore/External/Hub/HubError.hpp"
#include "DaroriCore/HubApiWrapper.hpp"
#include "DaroriCore/Logging.hpp"
#include "DaroriCore/NumberText.hpp"
#include "DaroriCore/ProcessInfo.hpp"
#include "ZadezarIro/Utilities/ModelUtilities.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace zadezariro::ModelRepository {

namespace {

using darori::HubApiWrapper;
using darori::Logging;

// One endpoint rule for every hub call of the engine: an endpoint given, else the hub client's
// (HUB_ENDPOINT, else none).
std::optional<std::string> endpointOrEnvironment(const std::string& endpoint) {
    if (endpoint.empty()) return std::nullopt;
    return endpoint;
}

std::string repoDescription(const HubApiWrapper::Repo& repo) {
    return "Repo(id: \"" + repo.id + "\", type: " + HubApiWrapper::rawValue(repo.type) + ")";
}

std::string progressDescription(const darori::Progress& progress) {
    return "<Progress> Fraction completed: " + darori::fixedText(progress.fractionCompleted(), 4) + " / Completed: " +
           std::to_string(progress.completedUnitCount()) + " of " + std::to_string(progress.totalUnitCount());
}

// The distinct first path components of the names.
std::set<std::string> modelFolders(const std::vector<std::string>& files) {
    std::set<std::string> folders;
    for (const auto& file : files) folders.insert(file.substr(0, file.find('/')));
    return folders;
}

std::string readBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("Could not read " + file.string());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::string escapeGlob(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '*' || c == '?' || c == '[' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

std::string deviceName() {
    std::string name = darori::ProcessInfo::stringFromSysctl("hw.model");
    return name.empty() ? std::string("unknown") : name;
}

ModelSupport recommendedModels() {
    const std::string name = deviceName();
    Logging::debug("Running on " + name);
    return Constants::fallbackModelSupportConfig().modelSupport(name);
}

ModelSupportConfig fetchModelSupportConfig(const std::string& from, const std::optional<std::filesystem::path>& downloadBase,
                                           const std::optional<std::string>& token, const std::string& remoteConfigName,
                                           const std::string& endpoint, bool useBackgroundSession) {
    try {
        const HubApiWrapper hub(downloadBase, token, endpointOrEnvironment(endpoint), useBackgroundSession);
        const HubApiWrapper::Repo repo{from, HubApiWrapper::RepoType::models};
        Logging::debug("Searching for config file matching \"" + remoteConfigName + "\" in " + from);
        const auto files = hub.getFilenames(repo, "main", {remoteConfigName});
        if (files.empty()) {
            Logging::info("No config files found matching \"" + remoteConfigName + "\" in " + from + ", using fallback");
            return Constants::fallbackModelSupportConfig();
        }
        if (files.size() >= 2) {
            Logging::info("Multiple config files found (" + std::to_string(files.size()) + "): " + listDescription(files) +
                          ". Using first matching file: " + files.front());
        }
        const std::string& file = files.front();
        // The name is fetched as a pattern: escaped, it fetches that one file.
        const auto folder = hub.snapshot(repo, "main", {escapeGlob(file)}, [](const darori::Progress&) {},
                                         cancellation::currentStopToken());
        return ModelSupportConfig::fromJSON(Json::parse(readBytes(folder / file)));
    } catch (...) {
        Logging::error("Fetch model support config failed with error: " + darori::describeError(std::current_exception()));
        return Constants::fallbackModelSupportConfig();
    }
}

ModelSupport recommendedRemoteModels(const std::string& from, const std::optional<std::filesystem::path>& downloadBase,
                                     const std::optional<std::string>& token, const std::string& remoteConfigName,
                                     const std::string& endpoint, bool useBackgroundSession) {
    const std::string name = deviceName();
    return fetchModelSupportConfig(from, downloadBase, token, remoteConfigName, endpoint, useBackgroundSession).modelSupport(name);
}

std::filesystem::path download(const std::string& variant, const std::optional<std::filesystem::path>& downloadBase,
                               bool useBackgroundSession, const std::string& from, const std::optional<std::string>& token,
                               const std::string& endpoint, const std::function<void(const darori::Progress&)>& progressCallback) {
    const HubApiWrapper hub(downloadBase, token, endpointOrEnvironment(endpoint), useBackgroundSession);
    const HubApiWrapper::Repo repo{from, HubApiWrapper::RepoType::models};
    // The variant is matched as it is written: a "*", "?" or "[" in it is no wildcard.
    const std::string literal = escapeGlob(variant);
    try {
        std::string pattern = "*" + literal + "/*";
        Logging::debug("Searching for models matching \"" + pattern + "\" in " + repoDescription(repo));
        auto folders = modelFolders(hub.getFilenames(repo, "main", {pattern}));
        if (folders.size() != 1) {
            Logging::debug(std::string(folders.empty() ? "No" : "Multiple") + " models found matching \"" + pattern + "\"");
            pattern = "*openai*" + literal + "/*";
            Logging::debug("Searching for models matching \"" + pattern + "\" in " + repoDescription(repo));
            folders = modelFolders(hub.getFilenames(repo, "main", {pattern}));
            if (folders.size() != 1) {
                throw WhisperError::modelsUnavailable(std::string(folders.empty() ? "No" : "Multiple") +
                                                      " models found matching \"" + pattern + "\" in " + repoDescription(repo));
            }
        }
        const std::string model = *folders.begin();
        Logging::debug("Downloading model " + model + "...");
        const auto folder = hub.snapshot(
            repo, "main", {pattern},
            [&progressCallback](const darori::Progress& progress) {
                Logging::debug(progressDescription(progress));
                if (progressCallback) progressCallback(progress);
            },
            cancellation::currentStopToken());
        return folder / model;
    } catch (...) {
        Logging::debug(darori::describeError(std::current_exception()));
        throw;
    }
}

std::vector<std::string> fetchAvailableModels(const std::string& from, const std::vector<std::string>& matching,
                                              const std::optional<std::filesystem::path>& downloadBase,
                                              const std::optional<std::string>& token, const std::string& remoteConfigName,
                                              const std::string& endpoint) {
    const auto table = fetchModelSupportConfig(from, downloadBase, token, remoteConfigName, endpoint, false);
    const auto support = table.modelSupport(deviceName());
    std::set<std::string> names;
    for (const auto& pattern : matching)
        for (auto& name : darori::matching(support.supported, pattern)) names.insert(std::move(name));
    return ModelUtilities::formatModelFiles(std::vector<std::string>(names.begin(), names.end()));
}

}  // namespace zadezariro::ModelRepository
