#include "ZadezarIro/Core/ModelSupportConfig.hpp"
#include "ZadezarIro/Utilities/Extensions.hpp"

#include <unordered_set>

#include "DaroriCore/CollectionHelpers.hpp"
#include "DaroriCore/Logging.hpp"
#include "Unicode/Unicode.hpp"
#include "ZadezarIro/Core/Constants.hpp"

namespace zadezariro {

namespace {
constexpr const char* FALLBACK_REPO_NAME = "zadezariro-coreml-fallback";
constexpr const char* FALLBACK_SUFFIX = "-fallback";

// The fallback stands in for one repository: the one whose name it carries before "-fallback".
bool isFallbackRepository(const std::string& repoName) {
    const std::string fallback = FALLBACK_REPO_NAME;
    return repoName == fallback || repoName + FALLBACK_SUFFIX == fallback;
}

bool sharesIdentifier(const DeviceSupport& a, const DeviceSupport& b) {
    for (const auto& x : a.identifiers)
        for (const auto& y : b.identifiers)
            if (x == y) return true;
    return false;
}

}  // namespace

std::vector<DeviceSupport> mergeWithFallback(const std::vector<DeviceSupport>& remote,
                                             const std::vector<DeviceSupport>& fallback) {
    std::vector<DeviceSupport> merged;
    for (const auto& row : remote) {
        const DeviceSupport* match = nullptr;
        for (const auto& candidate : fallback) {
            if (sharesIdentifier(row, candidate)) {
                match = &candidate;
                break;
            }
        }
        if (!match) {
            merged.push_back(row);
            continue;
        }
        std::vector<std::string> supported = row.models.supported;
        supported.insert(supported.end(), match->models.supported.begin(), match->models.supported.end());
        merged.push_back(DeviceSupport{row.chips, row.identifiers,
                                       ModelSupport{row.models.defaultModel, darori::orderedSet(supported), {}}});
    }
    for (const auto& candidate : fallback) {
        bool shared = false;
        for (const auto& row : remote) shared = shared || sharesIdentifier(row, candidate);
        if (!shared) merged.push_back(candidate);
    }
    return merged;
}

ModelSupportConfig::ModelSupportConfig(std::string repoName, std::string repoVersion,
                                       std::vector<DeviceSupport> deviceSupports, bool includeFallback)
    : repoName_(std::move(repoName)), repoVersion_(std::move(repoVersion)), deviceSupports_(std::move(deviceSupports)) {
    if (includeFallback && isFallbackRepository(repoName_))
        deviceSupports_ = mergeWithFallback(deviceSupports_, Constants::fallbackModelSupportConfig().deviceSupports());
    derive();
}

void ModelSupportConfig::setDeviceSupports(std::vector<DeviceSupport> deviceSupports) {
    deviceSupports_ = std::move(deviceSupports);
    derive();
}

void ModelSupportConfig::derive() {
    std::vector<std::string> all;
    for (const auto& row : deviceSupports_) all.insert(all.end(), row.models.supported.begin(), row.models.supported.end());
    knownModels_ = darori::orderedSet(all);
    defaultSupport_ = DeviceSupport{std::nullopt, {}, ModelSupport{"openai_whisper-base", knownModels_, {}}};
    // Known models in their own order, so the disabled lists are stable from run to run.
    for (auto& row : deviceSupports_) {
        const std::unordered_set<std::string> supported(row.models.supported.begin(), row.models.supported.end());
        row.models.disabled.clear();
        for (const auto& model : knownModels_)
            if (!supported.count(model)) row.models.disabled.push_back(model);
    }
}

ModelSupport ModelSupportConfig::modelSupport(const std::string& deviceName) const {
    const DeviceSupport* best = nullptr;
    std::size_t bestLength = 0;
    for (const auto& row : deviceSupports_) {
        for (const auto& identifier : row.identifiers) {
            if (deviceName.compare(0, identifier.size(), identifier) != 0) continue;
            const std::size_t length = unicode::characterCount(identifier);
            if (!best || length > bestLength) {
                best = &row;
                bestLength = length;
            }
        }
    }
    if (best) {
        darori::Logging::debug("Matched " + deviceName + " to devices: " + listDescription(best->identifiers));
        return best->models;
    }
    darori::Logging::info("No device support found for " + deviceName + ", using default");
    return defaultSupport_.models;
}

Json toJSON(const ModelSupport& support) {
    Json j = Json::object();
    j["default"] = support.defaultModel;
    j["supported"] = support.supported;
    return j;
}

Json toJSON(const DeviceSupport& device) {
    Json j = Json::object();
    if (device.chips) j["chips"] = *device.chips;
    j["identifiers"] = device.identifiers;
    j["models"] = toJSON(device.models);
    return j;
}

Json ModelSupportConfig::toJSON() const {
    Json j = Json::object();
    j["name"] = repoName_;
    j["version"] = repoVersion_;
    Json rows = Json::array();
    for (const auto& row : deviceSupports_) rows.push_back(zadezariro::toJSON(row));
    j["device_support"] = std::move(rows);
    return j;
}

ModelSupport modelSupportFromJSON(const Json& j, const std::string& path) {
    using namespace json;
    return ModelSupport{toString(require(j, "default", path), join(path, "default")),
                        toStringList(require(j, "supported", path), join(path, "supported")),
                        {}};
}

DeviceSupport deviceSupportFromJSON(const Json& j, const std::string& path) {
    using namespace json;
    requireObject(j, path);
    std::optional<std::string> chips;
    if (const Json* v = optional(j, "chips")) chips = toString(*v, join(path, "chips"));
    auto identifiers = toStringList(require(j, "identifiers", path), join(path, "identifiers"));
    auto models = modelSupportFromJSON(require(j, "models", path), join(path, "models"));
    return DeviceSupport{std::move(chips), std::move(identifiers), std::move(models)};
}

ModelSupportConfig ModelSupportConfig::fromJSON(const Json& j) {
    using namespace json;
    auto name = toString(require(j, "name", ""), "name");
    auto version = toString(require(j, "version", ""), "version");
    const Json& rows = require(j, "device_support", "");
    if (!rows.is_array())
        throw DecodingError(DecodingError::Kind::typeMismatch, "device_support", "Expected an array");
    std::vector<DeviceSupport> devices;
    for (std::size_t i = 0; i < rows.size(); ++i) devices.push_back(deviceSupportFromJSON(rows[i], join("device_support", i)));
    return ModelSupportConfig(std::move(name), std::move(version), std::move(devices), true);
}

}  // namespace zadezariro
