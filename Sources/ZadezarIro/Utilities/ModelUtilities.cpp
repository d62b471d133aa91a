#include "ZadezarIro/Utilities/ModelUtilities.hpp"

#include <algorithm>

#include "DaroriCore/CollectionHelpers.hpp"
#include "DaroriCore/External/Hub/HubError.hpp"
#include "DaroriCore/HubApiWrapper.hpp"
#include "DaroriCore/Logging.hpp"
#include "DaroriCore/TextHelpers.hpp"
#include "DaroriCore/TokenizerWrapper.hpp"
#include "ZadezarIro/Core/Constants.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace zadezariro {

namespace fs = std::filesystem;

TokenizerLoadingError::TokenizerLoadingError(fs::path localFolder, std::exception_ptr localError, std::exception_ptr hubError)
    : std::runtime_error("Loading the tokenizer from " + localFolder.string() + " failed: " + darori::describeError(localError) +
                         "; loading it from the hub failed: " + darori::describeError(hubError)),
      localFolder_(std::move(localFolder)),
      localError_(std::move(localError)),
      hubError_(std::move(hubError)) {}

namespace ModelUtilities {

ModelSupport modelSupport(const std::string& deviceName, const ModelSupportConfig* config) {
    return (config ? *config : Constants::fallbackModelSupportConfig()).modelSupport(deviceName);
}

ModelVariant detectVariant(std::int64_t logitsDim, std::int64_t encoderDim) {
    switch (logitsDim) {
        case 51864:
            switch (encoderDim) {
                case 384: return ModelVariant::tinyEn;
                case 512: return ModelVariant::baseEn;
                case 768: return ModelVariant::smallEn;
                case 1024: return ModelVariant::mediumEn;
                default: return ModelVariant::baseEn;
            }
        case 51865:
            switch (encoderDim) {
                case 384: return ModelVariant::tiny;
                case 512: return ModelVariant::base;
                case 768: return ModelVariant::small;
                case 1024: return ModelVariant::medium;
                case 1280: return ModelVariant::largev2;
                default: return ModelVariant::base;
            }
        case 51866: return ModelVariant::largev3;
        default: {
            const std::string message = "Unrecognized vocabulary size: " + std::to_string(logitsDim);
            darori::Logging::error(message);
            throw WhisperError::modelsUnavailable(message);
        }
    }
}

std::string tokenizerNameForVariant(ModelVariant variant) { return "openai/whisper-" + std::string(description(variant)); }

std::shared_ptr<WhisperTokenizer> loadTokenizer(ModelVariant variant, const std::optional<fs::path>& tokenizerFolder,
                                                const std::vector<fs::path>& additionalSearchPaths, bool useBackgroundSession) {
    using darori::Logging;
    const std::string repository = tokenizerNameForVariant(variant);
    const darori::HubApiWrapper hubApi(tokenizerFolder, std::nullopt, std::nullopt, useBackgroundSession);
    const fs::path repositoryFolder =
        hubApi.impl.downloadBase / darori::HubApi::repoTypeText(darori::HubApi::RepoType::models) / repository;

    std::vector<fs::path> searchPaths = {repositoryFolder};
    if (tokenizerFolder) searchPaths.push_back(*tokenizerFolder);
    searchPaths.insert(searchPaths.end(), additionalSearchPaths.begin(), additionalSearchPaths.end());

    // A folder is usable only with both files: a tokenizer.json alone cannot be loaded.
    std::optional<fs::path> localFolder;
    for (const auto& folder : searchPaths) {
        std::error_code ignored;
        const bool found = fs::exists(folder / "tokenizer.json", ignored) && fs::exists(folder / "tokenizer_config.json", ignored);
        Logging::debug("Checking for local tokenizer at " + (folder / "tokenizer.json").string() + " - " +
                       (found ? "found" : "not found"));
        if (found) {
            localFolder = folder;
            break;
        }
    }
    if (localFolder)
        Logging::debug("Found local tokenizer at " + localFolder->string());
    else
        Logging::debug("No tokenizer found in any local search paths");

    std::exception_ptr localError;
    if (localFolder) {
        Logging::debug("Loading tokenizer from " + localFolder->string());
        try {
            auto tokenizer = darori::AutoTokenizerWrapper::fromModelFolder(*localFolder, hubApi, true);
            return std::make_shared<WhisperTokenizerWrapper>(std::move(tokenizer), *localFolder);
        } catch (const std::exception& e) {
            Logging::debug("Error loading local tokenizer: " + std::string(e.what()));
            localError = std::current_exception();
        }
    }

    Logging::debug("Downloading tokenizer from Hub at file://" + repositoryFolder.string());
    try {
        auto tokenizer = darori::AutoTokenizerWrapper::fromPretrained(repository, hubApi, true);
        return std::make_shared<WhisperTokenizerWrapper>(std::move(tokenizer), repositoryFolder);
    } catch (...) {
        if (!localError) throw;
        throw TokenizerLoadingError(*localFolder, localError, std::current_exception());
    }
}

std::vector<std::string> formatModelFiles(const std::vector<std::string>& files) {
    std::vector<std::string> descriptions;
    for (auto variant : allModelVariants) descriptions.emplace_back(description(variant));
    std::vector<std::string> keywords;
    for (const auto& d : descriptions) keywords.push_back(d.find("large") != std::string::npos ? d : d + "/");

    std::vector<std::string> folders;
    for (const auto& file : files) {
        const std::string folder = file.substr(0, file.find('/')) + "/";
        const bool sized = std::any_of(keywords.begin(), keywords.end(),
                                       [&](const std::string& k) { return folder.find(k) != std::string::npos; });
        if (sized) folders.push_back(folder);
    }
    std::vector<std::string> names;
    for (const auto& folder : darori::orderedSet(folders)) names.push_back(darori::trimmingFromEnd(folder, "/", 1));

    auto rank = [&](const std::string& name) {
        for (std::size_t i = 0; i < descriptions.size(); ++i)
            if (name.find(descriptions[i]) != std::string::npos) return i;
        return descriptions.size();
    };
    std::stable_sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        const std::size_t ra = rank(a), rb = rank(b);
        return ra != rb ? ra < rb : a < b;
    });
    return names;
}

}  // namespace ModelUtilities
}  // namespace zadezariro
