#include "DaroriCore/External/Tokenizers/Tokenizer.hpp"

#include <limits>

namespace darori {

namespace {
template <class Convert, class In>
auto convertEach(const std::vector<In>& input, Convert&& convert) {
    std::vector<decltype(convert(input.front()))> out;
    out.reserve(input.size());
    for (const auto& element : input) out.push_back(convert(element));
    return out;
}
}  // namespace

std::vector<std::optional<int>> Tokenizer::convertTokensToIds(const std::vector<std::string>& tokens) const {
    return convertEach(tokens, [&](const std::string& t) { return convertTokenToId(t); });
}
std::vector<std::optional<std::string>> Tokenizer::convertIdsToTokens(const std::vector<int>& ids) const {
    return convertEach(ids, [&](int id) { return convertIdToToken(id); });
}
std::vector<std::optional<int>> TokenizingModel::convertTokensToIds(const std::vector<std::string>& tokens) const {
    return convertEach(tokens, [&](const std::string& t) { return convertTokenToId(t); });
}
std::vector<std::optional<std::string>> TokenizingModel::convertIdsToTokens(const std::vector<int>& ids) const {
    return convertEach(ids, [&](int id) { return convertIdToToken(id); });
}

std::optional<std::string> addedTokenAsString(const Config* config) {
    if (!config) return std::nullopt;
    if (auto s = config->string()) return s;
    return (*config)["content"].string();
}

std::optional<int> configId(const Config& config) {
    auto value = config.integer();
    if (!value || *value < std::numeric_limits<int>::min() || *value > std::numeric_limits<int>::max())
        return std::nullopt;
    return static_cast<int>(*value);
}

}  // namespace darori
