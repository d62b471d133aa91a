#include "DaroriCore/HubApiWrapper.hpp"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace darori {

std::filesystem::path HubApiWrapper::documentsFolder() {
    if (const char* documents = std::getenv("XDG_DOCUMENTS_DIR"); documents && *documents) return documents;
    if (const char* home = std::getenv("HOME"); home && *home) return std::filesystem::path(home) / "Documents";
    throw std::runtime_error("no Documents folder: neither XDG_DOCUMENTS_DIR nor HOME is set");
}

HubApiWrapper::HubApiWrapper(std::optional<std::filesystem::path> downloadBase, std::optional<std::string> hubToken,
                             std::optional<std::string> endpoint, bool useBackgroundSession) {
    impl.networkMonitor = std::make_shared<NetworkMonitor>();
    impl.hubToken = hubToken ? hubToken : HubApi::hubTokenFromEnv();
    impl.downloadBase = downloadBase ? *downloadBase : documentsFolder() / "modelhub";
    impl.endpoint = endpoint ? *endpoint : HubApi::hubEndpointFromEnv();
    impl.useBackgroundSession = useBackgroundSession;
    if (const char* ci = std::getenv("CI_DISABLE_NETWORK_MONITOR"); ci && std::string_view(ci) == "1") {
        std::puts(impl.hubToken ? "✅ got token" : "🔴 NO TOKEN **");
        std::fflush(stdout);
    }
    NetworkMonitor::shared().startMonitoring();
}

}  // namespace darori
