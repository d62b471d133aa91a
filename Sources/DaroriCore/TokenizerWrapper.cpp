#include "DaroriCore/TokenizerWrapper.hpp"

#include "DaroriCore/External/Hub/LanguageModelConfigurationFromHub.hpp"
#include "DaroriCore/External/Tokenizers/AutoTokenizer.hpp"
#include "DaroriCore/External/Tokenizers/TokenizerError.hpp"

namespace darori {

namespace {
TokenizerWrapper build(const LanguageModelConfigurationFromHub& loader, bool chooseClass, bool strict) {
    auto tokenizerConfig = loader.tokenizerConfig();
    if (!tokenizerConfig) throw TokenizerError::missingConfig();
    const Config tokenizerData = loader.tokenizerData();
    const TokenizerClass& tokenizerClass =
        chooseClass ? AutoTokenizer::tokenizerClass(*tokenizerConfig) : PreTrainedTokenizerClasses::base();
    return TokenizerWrapper(tokenizerClass.make(*tokenizerConfig, tokenizerData, strict));
}
}  // namespace

TokenizerWrapper AutoTokenizerWrapper::fromPretrained(const std::string& pretrained, const HubApiWrapper& hubApi, bool strict) {
    return build(LanguageModelConfigurationFromHub(pretrained, "main", hubApi), true, strict);
}

TokenizerWrapper AutoTokenizerWrapper::fromModelFolder(const std::filesystem::path& modelFolder, const HubApiWrapper& hubApi, bool strict) {
    return build(LanguageModelConfigurationFromHub(modelFolder, hubApi), false, strict);
}

}  // namespace darori
