// The facade's static model operations, forwarded to the model repository.
#include "ZadezarIro/Core/ModelRepository.hpp"
#include "ZadezarIro/Core/ZadezarIro.hpp"

namespace zadezariro {

namespace fs = std::filesystem;

std::string ZadezarIro::deviceName() { return ModelRepository::deviceName(); }

ModelSupport ZadezarIro::recommendedModels() { return ModelRepository::recommendedModels(); }

ModelSupportConfig ZadezarIro::fetchModelSupportConfig(const std::string& from, const std::optional<fs::path>& downloadBase,
                                                       const std::optional<std::string>& token, const std::string& remoteConfigName,
                                                       const std::string& endpoint, bool useBackgroundSession) {
    return ModelRepository::fetchModelSupportConfig(from, downloadBase, token, remoteConfigName, endpoint, useBackgroundSession);
}

ModelSupport ZadezarIro::recommendedRemoteModels(const std::string& from, const std::optional<fs::path>& downloadBase,
                                                 const std::optional<std::string>& token, const std::string& remoteConfigName,
                                                 const std::string& endpoint, bool useBackgroundSession) {
    return ModelRepository::recommendedRemoteModels(from, downloadBase, token, remoteConfigName, endpoint, useBackgroundSession);
}

fs::path ZadezarIro::download(const std::string& variant, const std::optional<fs::path>& downloadBase, bool useBackgroundSession,
                              const std::string& from, const std::optional<std::string>& token, const std::string& endpoint,
                              const std::function<void(const darori::Progress&)>& progressCallback) {
    return ModelRepository::download(variant, downloadBase, useBackgroundSession, from, token, endpoint, progressCallback);
}

std::vector<std::string> ZadezarIro::fetchAvailableModels(const std::string& from, const std::vector<std::string>& matching,
                                                          const std::optional<fs::path>& downloadBase,
                                                          const std::optional<std::string>& token,
                                                          const std::string& remoteConfigName, const std::string& endpoint) {
    return ModelRepository::fetchAvailableModels(from, matching, downloadBase, token, remoteConfigName, endpoint);
}

}  // namespace zadezariro
