#include "DaroriCore/External/Tokenizers/TokenizerModel.hpp"

#include <functional>
#include <iostream>
#include <unordered_map>

#include "DaroriCore/External/Tokenizers/BPETokenizer.hpp"
#include "DaroriCore/External/Tokenizers/BertTokenizer.hpp"
#include "DaroriCore/External/Tokenizers/TokenizerError.hpp"
#include "DaroriCore/External/Tokenizers/UnigramTokenizer.hpp"

namespace darori::TokenizerModel {

namespace {

using Make = std::function<std::unique_ptr<TokenizingModel>(const Config&, const Config&, const AddedTokenIds&)>;

template <class Model>
Make make() {
    return [](const Config& config, const Config& data, const AddedTokenIds& added) {
        return std::make_unique<Model>(config, data, added);
    };
}

const std::unordered_map<std::string, Make>& registry() {
    static const std::unordered_map<std::string, Make> models{
        {"BertTokenizer", make<BertTokenizer>()},
        {"CodeGenTokenizer", make<BPETokenizer>()},
        {"CodeLlamaTokenizer", make<BPETokenizer>()},
        {"CohereTokenizer", make<BPETokenizer>()},
        {"DistilbertTokenizer", make<BertTokenizer>()},
        {"DistilBertTokenizer", make<BertTokenizer>()},
        {"FalconTokenizer", make<BPETokenizer>()},
        {"GemmaTokenizer", make<BPETokenizer>()},
        {"GPT2Tokenizer", make<BPETokenizer>()},
        {"LlamaTokenizer", make<BPETokenizer>()},
        {"RobertaTokenizer", make<BPETokenizer>()},
        {"T5Tokenizer", make<T5Tokenizer>()},
        {"TokenizersBackend", make<BPETokenizer>()},
        {"PreTrainedTokenizer", make<BPETokenizer>()},
        {"Qwen2Tokenizer", make<BPETokenizer>()},
        {"WhisperTokenizer", make<BPETokenizer>()},
        {"XLMRobertaTokenizer", make<UnigramTokenizer>()},
    };
    return models;
}

std::string removingFast(std::string name) {
    for (auto at = name.find("Fast"); at != std::string::npos; at = name.find("Fast", at)) name.erase(at, 4);
    return name;
}

}  // namespace

std::optional<std::string> unknownToken(const Config& tokenizerConfig) {
    const Config& unk = tokenizerConfig["unkToken"];
    if (auto content = unk["content"].string()) return content;
    return unk.string();
}

std::unique_ptr<TokenizingModel> from(const Config& tokenizerConfig, const Config& tokenizerData,
                                      const AddedTokenIds& addedTokens, bool strict) {
    auto className = tokenizerConfig["tokenizerClass"].string();
    if (!className) throw TokenizerError::missingTokenizerClassInConfig();
    const std::string name = removingFast(*className);
    const auto& models = registry();
    if (auto it = models.find(name); it != models.end()) return it->second(tokenizerConfig, tokenizerData, addedTokens);
    if (strict) throw TokenizerError::unsupportedTokenizer(name);
    std::cout << "Warning: Tokenizer model class " << name
              << " is not registered, falling back to a standard BPE implementation." << std::endl;
    return std::make_unique<BPETokenizer>(tokenizerConfig, tokenizerData, addedTokens);
}

}  // namespace darori::TokenizerModel
