// Public Whisper checkpoints (config.json, model.safetensors or its shards, tokenizer files) turned
// into the engine's model folders: from a local checkpoint folder or from a repository on the model
// hub ("openai/whisper-base"), downloaded through the hub client (resumable, cached). The model
// folder lands where the engine's own downloads land, <base>/models/zevidirev/zadezariro-coreml/
// <name>/, so model setup and the model lists find it as they find any other.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace zadezariro::ModelImport {

struct Options {
    // The application's model folder: the engine's download base. The hub client caches the
    // checkpoint below it (models/<owner>/<name>/, where the engine also looks for tokenizers).
    std::filesystem::path base;
    // The hub's address and token; absent: the hub client's defaults (HUB_ENDPOINT, else no hub;
    // HUB_TOKEN).
    std::optional<std::string> endpoint;
    std::optional<std::string> token;
    // Download progress: the fraction of the checkpoint's files done (0 to 1), on the downloading
    // thread.
    std::function<void(double)> progress;
    std::stop_token stop;
};

// True for "owner/name" made of letters, digits, '-', '_' and '.', neither part "." or "..".
bool isRepositoryId(std::string_view text);

// The engine's name for a model: a repository id with its "/" as "_" ("openai/whisper-base" is
// "openai_whisper-base").
std::string modelName(std::string_view repositoryId);

// Imports `source`: an existing folder is a local checkpoint, else a repository id is fetched from
// the hub. `name` names the model folder; without it the repository id gives the name, and a local
// checkpoint the "_name_or_path" of its config.json when that is a repository id, else its folder
// name. Returns the model folder. Throws std::invalid_argument for a source that is neither or a
// name that is not a single folder name; the hub client's errors (URLError(cancelled) when `stop`
// is requested) and mlruntime::Error for a checkpoint that cannot be imported, unchanged. A failed
// import leaves an existing model folder of that name as it was; what was downloaded stays cached
// and is resumed by the next attempt.
std::filesystem::path importModel(const std::string& source, const std::optional<std::string>& name, const Options& options);

}  // namespace zadezariro::ModelImport
