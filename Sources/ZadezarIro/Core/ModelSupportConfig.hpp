// Which models run on which device, held as data: the records of the model-support table, their
// JSON form, the merge of a downloaded table with the built-in fallback table
// (Constants::fallbackModelSupportConfig) and the lookup of a device by its hardware model
// identifier. Plain values; safe to share between threads once built.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ZadezarIro/Core/JSONCoding.hpp"

namespace zadezariro {

struct ModelSupport {
    std::string defaultModel;            // JSON "default": the model to use when the user names none
    std::vector<std::string> supported;  // JSON "supported": models that run on the row's devices
    // Known models the row does not support; computed by ModelSupportConfig, never read or written.
    std::vector<std::string> disabled;

    bool operator==(const ModelSupport&) const = default;
};

struct DeviceSupport {
    std::optional<std::string> chips;     // human-readable chip families ("M2, M3, M4")
    std::vector<std::string> identifiers;  // hardware model identifier prefixes ("Mac14", "iPad14,1")
    ModelSupport models;

    bool operator==(const DeviceSupport&) const = default;
};

class ModelSupportConfig {
public:
    // Builds a table from rows. With `includeFallback`, a table of the repository that the built-in
    // table stands in for ("zadezariro-coreml", or the fallback's own name) gets the fallback rows
    // merged in (see mergeWithFallback). Then knownModels, defaultSupport and every row's disabled
    // list are derived. Never fails.
    ModelSupportConfig(std::string repoName, std::string repoVersion, std::vector<DeviceSupport> deviceSupports,
                       bool includeFallback = true);

    const std::string& repoName() const { return repoName_; }
    const std::string& repoVersion() const { return repoVersion_; }
    const std::vector<DeviceSupport>& deviceSupports() const { return deviceSupports_; }
    // Replaces the rows as given (no fallback merge) and derives knownModels, defaultSupport and
    // every row's disabled list from them again.
    void setDeviceSupports(std::vector<DeviceSupport> deviceSupports);
    // Every supported model of every row, repeats dropped, first occurrence kept.
    const std::vector<std::string>& knownModels() const { return knownModels_; }
    // The row for devices that match no row: default "openai_whisper-base", every known model.
    const DeviceSupport& defaultSupport() const { return defaultSupport_; }

    // The models of the row whose identifier is the longest prefix of `deviceName` (case-sensitive;
    // the earlier row on equal length), logged at debug; defaultSupport().models when none matches,
    // logged at info. Never fails.
    ModelSupport modelSupport(const std::string& deviceName) const;

    // JSON: {"name", "version", "device_support": [{"chips"?, "identifiers", "models": {"default",
    // "supported"}}]}. Decoding throws DecodingError for a missing key or a wrong type, ignores other
    // keys (a row's "disabled" included) and always considers the fallback merge.
    Json toJSON() const;
    static ModelSupportConfig fromJSON(const Json& j);

private:
    void derive();

    std::string repoName_;
    std::string repoVersion_;
    std::vector<DeviceSupport> deviceSupports_;
    std::vector<std::string> knownModels_;
    DeviceSupport defaultSupport_;
};

// The remote rows merged with the fallback rows: each remote row that shares an identifier with a
// fallback row keeps its chips, identifiers and default and gets the first such fallback row's
// supported models appended (repeats dropped); then every fallback row that shares no identifier
// with any remote row, in fallback order.
std::vector<DeviceSupport> mergeWithFallback(const std::vector<DeviceSupport>& remote,
                                             const std::vector<DeviceSupport>& fallback);

Json toJSON(const ModelSupport& support);
Json toJSON(const DeviceSupport& device);
ModelSupport modelSupportFromJSON(const Json& j, const std::string& path = "");
DeviceSupport deviceSupportFromJSON(const Json& j, const std::string& path = "");

}  // namespace zadezariro
