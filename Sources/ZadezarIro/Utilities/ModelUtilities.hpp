// What the engine needs around its model files: the model support of a device, the variant a
// loaded model is, the tokenizer repository of a variant and loading that tokenizer local-first,
// and model folder names from a repository listing. Stateless; any thread.
#pragma once

#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ZadezarIro/Core/ModelSupportConfig.hpp"
#include "ZadezarIro/Core/ModelVariant.hpp"
#include "ZadezarIro/Core/WhisperTokenizer.hpp"

namespace zadezariro {

// Loading a tokenizer failed both from a local folder and from the hub. what() names the folder and
// both failures; the two errors are kept as they were thrown.
class TokenizerLoadingError : public std::runtime_error {
public:
    TokenizerLoadingError(std::filesystem::path localFolder, std::exception_ptr localError, std::exception_ptr hubError);
    const std::filesystem::path& localFolder() const noexcept { return localFolder_; }
    std::exception_ptr localError() const noexcept { return localError_; }
    std::exception_ptr hubError() const noexcept { return hubError_; }

private:
    std::filesystem::path localFolder_;
    std::exception_ptr localError_;
    std::exception_ptr hubError_;
};

namespace ModelUtilities {

// config's modelSupport(deviceName), or the built-in fallback table's without a config.
ModelSupport modelSupport(const std::string& deviceName, const ModelSupportConfig* config = nullptr);

// The variant from the decoder's vocabulary size and the encoder's width: 51864 English-only
// (384 tiny.en, 512 base.en, 768 small.en, 1024 medium.en, other base.en), 51865 multilingual
// (384 tiny, 512 base, 768 small, 1024 medium, 1280 large-v2, other base), 51866 large-v3.
// Another vocabulary size is logged ("Unrecognized vocabulary size: <n>", error) and thrown as
// WhisperError(modelsUnavailable) with that text: no tokenizer would fit such a model.
ModelVariant detectVariant(std::int64_t logitsDim, std::int64_t encoderDim);

// "openai/whisper-" + the variant's description.
std::string tokenizerNameForVariant(ModelVariant variant);

// The variant's tokenizer, from the first local folder that holds both "tokenizer.json" and
// "tokenizer_config.json" among: <tokenizerFolder or the hub's default base>/models/<repository>,
// tokenizerFolder itself, then additionalSearchPaths in order; else (or when that local load
// fails) downloaded from the hub repository into the first of those folders. Each folder tested is
// logged at debug. Throws the hub load's error unchanged when no local folder was tried, and
// TokenizerLoadingError carrying both errors when a local load failed too. Blocks while the files
// are read or downloaded.
std::shared_ptr<WhisperTokenizer> loadTokenizer(ModelVariant variant,
                                                const std::optional<std::filesystem::path>& tokenizerFolder = std::nullopt,
                                                const std::vector<std::filesystem::path>& additionalSearchPaths = {},
                                                bool useBackgroundSession = false);

// Model folder names from repository file paths: the first path component of each, kept when it
// names a size ("tiny/" ... "medium.en/" followed by the end of the folder name, or anything with
// "large"), without repeats, sorted by size from tiny to large-v3 and then by name.
std::vector<std::string> formatModelFiles(const std::vector<std::string>& files);

}  // namespace ModelUtilities
}  // namespace zadezariro
