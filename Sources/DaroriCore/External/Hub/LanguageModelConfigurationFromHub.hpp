// Loads a language model's configuration files for the tokenizers: config.json, tokenizer.json
// (required), tokenizer_config.json and a chat template (chat_template.jinja, else the
// "chat_template" text of chat_template.json), either from the hub into the local cache or
// straight from a folder. Loading starts at construction on a thread of its own; every getter
// waits for it and then returns the same result or throws the same error. Destroying the object
// does not stop the loading. Getters are thread-safe.
#pragma once

#include <filesystem>
#include <future>
#include <optional>
#include <string>

#include "DaroriCore/External/Hub/Config.hpp"
#include "DaroriCore/HubApiWrapper.hpp"

namespace darori {

class LanguageModelConfigurationFromHub {
public:
    struct Configurations {
        std::optional<Config> modelConfig;      // config.json
        std::optional<Config> tokenizerConfig;  // tokenizer_config.json, with the chat template added
        Config tokenizerData;                   // tokenizer.json
    };

    // The file names fetched from the hub, in this order.
    static const std::vector<std::string>& filesToFetch();

    // From the hub: a snapshot of repository `modelName` (type models) at `revision` limited to
    // filesToFetch(), then loadConfig on it. Network failures become
    // HubClientError::resourceNotFound(modelName) (resource unavailable) or networkError.
    LanguageModelConfigurationFromHub(std::string modelName, std::string revision = "main", HubApiWrapper hubApi = HubApiWrapper());
    // From a local folder: loadConfig on it.
    explicit LanguageModelConfigurationFromHub(std::filesystem::path modelFolder, HubApiWrapper hubApi = HubApiWrapper());

    // Reads the folder's files. Throws HubClientError::configurationMissing("tokenizer.json") when
    // it is missing; configuration errors of HubApi::configuration unchanged; other read errors as
    // HubClientError::fileSystemError. An unreadable or malformed chat template is no template.
    static Configurations loadConfig(const std::filesystem::path& modelFolder, const HubApiWrapper& hubApi);

    // The tokenizer settings; when they name no tokenizer class (tokenizer_class) and config.json
    // names a model type, a copy with "tokenizer_class" = capitalised model type + "Tokenizer".
    std::optional<Config> tokenizerConfig() const;
    Config tokenizerData() const;
    // config.json's model_type text; absent without config.json or such a text.
    std::optional<std::string> modelType() const;
    const Configurations& configurations() const { return configPromise_.get(); }

private:
    std::shared_future<Configurations> configPromise_;
};

}  // namespace darori
