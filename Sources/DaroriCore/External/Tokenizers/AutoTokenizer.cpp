#include "DaroriCore/External/Tokenizers/AutoTokenizer.hpp"

#include "DaroriCore/External/Tokenizers/LlamaPreTrainedTokenizer.hpp"

namespace darori {

namespace {
template <class T>
std::unique_ptr<PreTrainedTokenizer> make(const Config& tokenizerConfig, const Config& tokenizerData, bool strict) {
    return std::make_unique<T>(tokenizerConfig, tokenizerData, strict);
}
}  // namespace

const std::unordered_map<std::string, TokenizerClass>& PreTrainedTokenizerClasses::tokenizerClasses() {
    static const std::unordered_map<std::string, TokenizerClass> classes{
        {"LlamaTokenizer", {"LlamaPreTrainedTokenizer", &make<LlamaPreTrainedTokenizer>}},
    };
    return classes;
}

const TokenizerClass& PreTrainedTokenizerClasses::base() {
    static const TokenizerClass general{"PreTrainedTokenizer", &make<PreTrainedTokenizer>};
    return general;
}

const TokenizerClass& AutoTokenizer::tokenizerClass(const Config& tokenizerConfig) {
    auto name = tokenizerConfig["tokenizerClass"].string();
    if (!name) return PreTrainedTokenizerClasses::base();
    for (auto at = name->find("Fast"); at != std::string::npos; at = name->find("Fast", at)) name->erase(at, 4);
    const auto& classes = PreTrainedTokenizerClasses::tokenizerClasses();
    auto it = classes.find(*name);
    return it == classes.end() ? PreTrainedTokenizerClasses::base() : it->second;
}

}  // namespace darori
