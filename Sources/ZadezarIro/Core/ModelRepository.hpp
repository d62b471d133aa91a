// The engine's dealings with the model repository on the hub, needing no engine instance: which
// models suit this device (from the built-in table or the repository's model-support file), the
// download of one model folder into the local hub cache, and the listing of the supported models.
//
// Every call builds its own hub client and keeps nothing afterwards. The look-ups never fail: any
// error ends in the built-in table (logged). A download throws. All functions block while they
// reach the hub and are safe to call from any thread; a download stops with the hub client's
// cancellation error when the calling thread's current task is cancelled.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DaroriCore/External/Hub/Progress.hpp"
#include "ZadezarIro/Core/Constants.hpp"
#include "ZadezarIro/Core/ModelSupportConfig.hpp"

namespace zadezariro::ModelRepository {

// The repository the engine's models come from when the caller names none.
inline constexpr std::string_view defaultRepository = "zevidirev/zadezariro-coreml";

// The machine's hardware model ("MacBookPro18,1"; on Linux the DMI product name, "unknown" when
// the system does not say), read anew on every call.
std::string deviceName();

// The built-in table's models for this device; logs "Running on <device>" at debug.
ModelSupport recommendedModels();

// The repository's model-support table: the file the listing names first among those matching
// `remoteConfigName` (a name or a glob), downloaded into the hub cache under `downloadBase` and
// decoded. The built-in table when nothing matches (logged at info) or on any error of the
// listing, the download, the read or the decoding (logged at error). Never throws.
ModelSupportConfig fetchModelSupportConfig(const std::string& from = std::string(defaultRepository),
                                           const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                           const std::optional<std::string>& token = std::nullopt,
                                           const std::string& remoteConfigName = std::string(Constants::defaultRemoteConfigName),
                                           const std::string& endpoint = std::string(Constants::defaultRemoteEndpoint),
                                           bool useBackgroundSession = false);

// This device's models in the fetched (or built-in) table. Never throws.
ModelSupport recommendedRemoteModels(const std::string& from = std::string(defaultRepository),
                                     const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                     const std::optional<std::string>& token = std::nullopt,
                                     const std::string& remoteConfigName = std::string(Constants::defaultRemoteConfigName),
                                     const std::string& endpoint = std::string(Constants::defaultRemoteEndpoint),
                                     bool useBackgroundSession = false);

// Finds the one model folder of the repository whose name ends with `variant` (first "*<variant>/*",
// then "*openai*<variant>/*"; the variant is matched literally, glob characters included),
// downloads its files into the hub cache under `downloadBase` and returns the local model folder
// (<cache>/models/<from>/<model>). `progressCallback` gets every progress report of the download,
// on the thread that reports it. Throws WhisperError(modelsUnavailable) "No models found matching
// ..." or "Multiple models found matching ..." naming the second pattern, and the hub client's
// errors unchanged.
std::filesystem::path download(const std::string& variant,
                               const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                               bool useBackgroundSession = false, const std::string& from = std::string(defaultRepository),
                               const std::optional<std::string>& token = std::nullopt,
                               const std::string& endpoint = std::string(Constants::defaultRemoteEndpoint),
                               const std::function<void(const darori::Progress&)>& progressCallback = {});

// The models this device supports (fetched or built-in table) that match any of the glob
// patterns, as model folder names ordered by size then name (ModelUtilities::formatModelFiles).
// An empty pattern list gives an empty list. Never throws.
std::vector<std::string> fetchAvailableModels(const std::string& from = std::string(defaultRepository),
                                              const std::vector<std::string>& matching = {"*"},
                                              const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                              const std::optional<std::string>& token = std::nullopt,
                                              const std::string& remoteConfigName = std::string(Constants::defaultRemoteConfigName),
                                              const std::string& endpoint = std::string(Constants::defaultRemoteEndpoint));

// `text` with the glob characters "*", "?", "[" and "\" escaped, so that as a pattern it matches
// only itself.
std::string escapeGlob(std::string_view text);

}  // namespace zadezariro::ModelRepository
