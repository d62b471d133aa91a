#include "DaroriCore/External/Hub/LanguageModelConfigurationFromHub.hpp"

#include <fstream>
#include <sstream>
#include <thread>

namespace darori {

namespace {

// "llama" -> "Llama", "xlm-roberta" -> "Xlm-Roberta": each word's first letter upper case, the
// rest lower case; letters and digits form words.
std::string capitalized(const std::string& text) {
    std::string out;
    bool wordStart = true;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || u >= 0x80) {
            out += static_cast<char>(wordStart ? std::toupper(u) : std::tolower(u));
            wordStart = false;
        } else {
            out += c;
            wordStart = true;
        }
    }
    return out;
}

bool itemExists(const std::filesystem::path& file) {
    std::error_code ec;
    return std::filesystem::exists(file, ec);
}

std::optional<std::string> readUTF8(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream out;
    out << in.rdbuf();
    if (in.bad()) return std::nullopt;
    std::string text = out.str();
    // Strict UTF-8, as a text read of the file would demand.
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > text.size()) return std::nullopt;
        for (std::size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return std::nullopt;
        }
        i += n;
    }
    return text;
}

template <class Work>
std::shared_future<LanguageModelConfigurationFromHub::Configurations> startLoading(Work work) {
    std::promise<LanguageModelConfigurationFromHub::Configurations> promise;
    auto future = promise.get_future().share();
    std::thread([promise = std::move(promise), work = std::move(work)]() mutable {
        try {
            promise.set_value(work());
        } catch (...) {
            promise.set_exception(std::current_exception());
        }
    }).detach();
    return future;
}

}  // namespace

const std::vector<std::string>& LanguageModelConfigurationFromHub::filesToFetch() {
    static const std::vector<std::string> names{"config.json", "tokenizer_config.json", "chat_template.jinja",
                                                "chat_template.json", "tokenizer.json"};
    return names;
}

LanguageModelConfigurationFromHub::LanguageModelConfigurationFromHub(std::string modelName, std::string revision,
                                                                     HubApiWrapper hubApi) {
    configPromise_ = startLoading([modelName = std::move(modelName), revision = std::move(revision), hubApi = std::move(hubApi)] {
        try {
            const auto folder = hubApi.snapshot({modelName, HubApiWrapper::RepoType::models}, revision, filesToFetch());
            return loadConfig(folder, hubApi);
        } catch (const URLError& e) {
            if (e.code() == URLError::Code::resourceUnavailable) throw Hub::HubClientError::resourceNotFound(modelName);
            throw Hub::HubClientError::networkError(std::current_exception());
        }
    });
}

LanguageModelConfigurationFromHub::LanguageModelConfigurationFromHub(std::filesystem::path modelFolder, HubApiWrapper hubApi) {
    configPromise_ = startLoading([modelFolder = std::move(modelFolder), hubApi = std::move(hubApi)] {
        return loadConfig(modelFolder, hubApi);
    });
}

LanguageModelConfigurationFromHub::Configurations LanguageModelConfigurationFromHub::loadConfig(const std::filesystem::path& modelFolder,
                                                                                                const HubApiWrapper& hubApi) {
    Configurations result;
    try {
        if (const auto file = modelFolder / "config.json"; itemExists(file)) result.modelConfig = hubApi.impl.configuration(file);
        const auto tokenizerFile = modelFolder / "tokenizer.json";
        if (!itemExists(tokenizerFile)) throw Hub::HubClientError::configurationMissing("tokenizer.json");
        result.tokenizerData = hubApi.impl.configuration(tokenizerFile);
        if (const auto file = modelFolder / "tokenizer_config.json"; itemExists(file)) result.tokenizerConfig = hubApi.impl.configuration(file);
    } catch (const Hub::HubClientError&) {
        throw;
    } catch (const nlohmann::ordered_json::exception& e) {
        throw Hub::HubClientError::parseError(std::string("Invalid JSON format: ") + e.what());
    } catch (...) {
        throw Hub::HubClientError::fileSystemError(std::current_exception());
    }

    std::optional<std::string> chatTemplate;
    if (const auto jinja = modelFolder / "chat_template.jinja"; itemExists(jinja)) {
        chatTemplate = readUTF8(jinja);
    } else if (const auto json = modelFolder / "chat_template.json"; itemExists(json)) {
        try {
            chatTemplate = hubApi.impl.configuration(json)["chatTemplate"].string();
        } catch (...) {
        }
    }
    if (chatTemplate) {
        const Config value(*chatTemplate);
        if (result.tokenizerConfig && result.tokenizerConfig->dictionary()) {
            Config::Dictionary entries = *result.tokenizerConfig->dictionary();
            entries[BinaryDistinctString("chat_template")] = value;
            result.tokenizerConfig = Config(std::move(entries));
        } else {
            result.tokenizerConfig = Config::makeDictionary({{"chat_template", value}});
        }
    }
    return result;
}

std::optional<Config> LanguageModelConfigurationFromHub::tokenizerConfig() const {
    const Configurations& c = configPromise_.get();
    if (!c.tokenizerConfig) return std::nullopt;
    const auto tokenizerClass = c.tokenizerConfig->member("tokenizerClass");
    if (tokenizerClass && tokenizerClass->string()) return c.tokenizerConfig;
    const auto type = modelType();
    if (!type) return c.tokenizerConfig;
    Config::Dictionary entries;
    if (const auto* existing = c.tokenizerConfig->dictionary()) entries = *existing;
    entries[BinaryDistinctString("tokenizer_class")] = Config(capitalized(*type) + "Tokenizer");
    return Config(std::move(entries));
}

Config LanguageModelConfigurationFromHub::tokenizerData() const { return configPromise_.get().tokenizerData; }

std::optional<std::string> LanguageModelConfigurationFromHub::modelType() const {
    const Configurations& c = configPromise_.get();
    if (!c.modelConfig) return std::nullopt;
    return (*c.modelConfig)["modelType"].string();
}

}  // namespace darori
