#include "DaroriCore/HubApiWrapper.hpp"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "DaroriCore/DaroriCoreError.hpp"
#include "DaroriCore/UserDirs.hpp"

namespace darori {

std::string HubApiWrapper::rawValue(RepoType type) {
    switch (type) {
        case RepoType::models: return "models";
        case RepoType::datasets: return "datasets";
        case RepoType::spaces: return "spaces";
    }
    return "models";
}

std::optional<HubApiWrapper::RepoType> HubApiWrapper::repoType(std::string_view raw) {
    if (raw == "models") return RepoType::models;
    if (raw == "datasets") return RepoType::datasets;
    if (raw == "spaces") return RepoType::spaces;
    return std::nullopt;
}

void to_json(nlohmann::ordered_json& json, HubApiWrapper::RepoType type) { json = HubApiWrapper::rawValue(type); }

void from_json(const nlohmann::ordered_json& json, HubApiWrapper::RepoType& type) {
    const std::string raw = json.get<std::string>();
    const auto parsed = HubApiWrapper::repoType(raw);
    if (!parsed) throw nlohmann::ordered_json::type_error::create(302, "unknown repository type \"" + raw + "\"", &json);
    type = *parsed;
}

void to_json(nlohmann::ordered_json& json, const HubApiWrapper::Repo& repo) {
    json = {{"id", repo.id}, {"type", HubApiWrapper::rawValue(repo.type)}};
}

void from_json(const nlohmann::ordered_json& json, HubApiWrapper::Repo& repo) {
    HubApiWrapper::Repo parsed;
    parsed.id = json.at("id").get<std::string>();
    parsed.type = json.at("type").get<HubApiWrapper::RepoType>();
    repo = std::move(parsed);
}

std::filesystem::path HubApiWrapper::documentsFolder() { return userDocumentsFolder(); }

HubApiWrapper::HubApiWrapper(std::optional<std::filesystem::path> downloadBase, std::optional<std::string> hubToken,
                             std::optional<std::string> endpoint, bool useBackgroundSession) {
    impl.networkMonitor = std::make_shared<NetworkMonitor>();
    impl.hubToken = hubToken ? hubToken : HubApi::hubTokenFromEnv();
    if (const char* ci = std::getenv("CI_DISABLE_NETWORK_MONITOR"); ci && std::string_view(ci) == "1") {
        std::puts(impl.hubToken ? "✅ got token" : "🔴 NO TOKEN **");
        std::fflush(stdout);
    }
    impl.downloadBase = downloadBase ? *downloadBase : documentsFolder() / "modelhub";
    impl.endpoint = endpoint ? *endpoint : HubApi::hubEndpointFromEnv();
    impl.useBackgroundSession = useBackgroundSession;
    NetworkMonitor::shared().startMonitoring();
}

const HubApiWrapper& HubApiWrapper::shared() {
    static const HubApiWrapper wrapper;
    return wrapper;
}

HubApi::Repo HubApiWrapper::convert(const Repo& repo) {
    switch (repo.type) {
        case RepoType::models: return {repo.id, HubApi::RepoType::models};
        case RepoType::datasets: return {repo.id, HubApi::RepoType::datasets};
        case RepoType::spaces: return {repo.id, HubApi::RepoType::spaces};
    }
    return {repo.id, HubApi::RepoType::models};
}

std::filesystem::path HubApiWrapper::snapshot(const Repo& repo, const std::string& revision, const std::vector<std::string>& globs,
                                              const std::function<void(const Progress&)>& progressHandler, std::stop_token stop) const {
    return impl.snapshot(convert(repo), revision, globs, progressHandler, stop);
}

std::vector<std::string> HubApiWrapper::getFilenames(const Repo& repo, const std::string& revision,
                                                     const std::vector<std::string>& globs) const {
    return impl.getFilenames(convert(repo), revision, globs);
}

std::filesystem::path HubApiWrapper::localRepoLocation(const Repo& repo) const {
    if (!HubApi::isSafeRelativePath(repo.id)) {
        throw DaroriCoreError::invalidConfiguration("The repository id \"" + repo.id + "\" leaves the download folder");
    }
    return impl.downloadBase / rawValue(repo.type) / repo.id;
}

}  // namespace darori
