#include "ZadezarIro/Core/ModelImport.hpp"

#include <cctype>
#include <fstream>
#include <set>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

#include "DaroriCore/HubApiWrapper.hpp"
#include "MLRuntime/WhisperCheckpoint.hpp"
#include "ZadezarIro/Core/ModelRepository.hpp"

namespace zadezariro::ModelImport {

namespace fs = std::filesystem;

namespace {

constexpr const char* WEIGHTS_FILE = "model.safetensors";
constexpr const char* WEIGHTS_INDEX = "model.safetensors.index.json";

bool isIdPart(std::string_view part) {
    if (part.empty() || part == "." || part == "..") return false;
    for (char c : part)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.')) return false;
    return true;
}

void checkFolderName(const std::string& name) {
    const bool bad = name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
                     name.find('\\') != std::string::npos || name.find('\0') != std::string::npos;
    if (bad) throw std::invalid_argument("Invalid model name \"" + name + "\": a model name is a single folder name");
}

// A small JSON file of the checkpoint, or null when it cannot be read as JSON.
nlohmann::json readJSONFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return nullptr;
    return nlohmann::json::parse(in, nullptr, false);
}

// Fetches the checkpoint's files from the hub into the cache below `options.base` and returns the
// cached repository folder: the configuration and tokenizer files it has, and its weights (one
// file, or the index and then the shards it names); none of its other formats.
fs::path download(const std::string& id, const Options& options) {
    const darori::HubApiWrapper hub(options.base, options.token, options.endpoint, false);
    const darori::HubApiWrapper::Repo repo{id, darori::HubApiWrapper::RepoType::models};
    const auto listing = hub.getFilenames(repo);
    const std::set<std::string> present(listing.begin(), listing.end());

    std::vector<std::string> wanted{"config.json"};
    for (const char* name : mlruntime::whisper::REQUIRED_CHECKPOINT_FILES) wanted.emplace_back(name);
    for (const char* name : mlruntime::whisper::OPTIONAL_CHECKPOINT_FILES)
        if (present.count(name)) wanted.emplace_back(name);
    const bool sharded = !present.count(WEIGHTS_FILE) && present.count(WEIGHTS_INDEX);
    if (!sharded && !present.count(WEIGHTS_FILE))
        throw std::invalid_argument("The repository " + id + " has no " + WEIGHTS_FILE + " or " + WEIGHTS_INDEX +
                                    " (only checkpoints in the safetensors format can be imported)");
    wanted.emplace_back(sharded ? WEIGHTS_INDEX : WEIGHTS_FILE);

    // The overall fraction across both passes: the shards are the bulk of a sharded checkpoint.
    auto report = [&](double offset, double share) {
        return [&options, offset, share](const darori::Progress& progress) {
            if (options.progress) options.progress(offset + share * progress.fractionCompleted());
        };
    };
    fs::path folder = hub.snapshot(repo, "main", wanted, report(0.0, sharded ? 0.05 : 1.0), options.stop);
    if (sharded) {
        std::ifstream in(folder / WEIGHTS_INDEX, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        std::set<std::string> shards;
        for (const auto& [tensor, shard] : mlruntime::whisper::parseShardIndex(text)) shards.insert(shard);
        folder = hub.snapshot(repo, "main", std::vector<std::string>(shards.begin(), shards.end()), report(0.05, 0.95),
                              options.stop);
    }
    return folder;
}

}  // namespace

bool isRepositoryId(std::string_view text) {
    const size_t slash = text.find('/');
    if (slash == std::string_view::npos) return false;
    return isIdPart(text.substr(0, slash)) && isIdPart(text.substr(slash + 1));
}

std::string modelName(std::string_view repositoryId) {
    std::string name(repositoryId);
    for (char& c : name)
        if (c == '/') c = '_';
    return name;
}

fs::path importModel(const std::string& source, const std::optional<std::string>& name, const Options& options) {
    std::error_code ec;
    const bool local = !source.empty() && fs::is_directory(source, ec);
    if (!local && !isRepositoryId(source))
        throw std::invalid_argument("\"" + source + "\" is neither a checkpoint folder nor a hub repository id such as openai/whisper-base");
    std::string target;
    if (name) {
        target = *name;
    } else if (!local) {
        target = modelName(source);
    } else {
        const nlohmann::json config = readJSONFile(fs::path(source) / "config.json");
        const auto origin = config.is_object() ? config.find("_name_or_path") : config.end();
        if (config.is_object() && origin != config.end() && origin->is_string() && isRepositoryId(origin->get<std::string>()))
            target = modelName(origin->get<std::string>());
        else
            target = fs::absolute(source, ec).lexically_normal().filename().string();
        if (target.empty()) target = fs::absolute(source, ec).lexically_normal().parent_path().filename().string();
    }
    checkFolderName(target);
    const fs::path checkpoint = local ? fs::path(source) : download(source, options);
    const fs::path folder = options.base / "models" / std::string(ModelRepository::defaultRepository) / target;
    mlruntime::whisper::importCheckpoint(checkpoint, folder);
    return folder;
}

}  // namespace zadezariro::ModelImport
