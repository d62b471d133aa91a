#include "MLRuntime/FeatureProvider.hpp"

namespace mlruntime {

MultiArray FeatureProvider::requireMultiArray(const std::string& name) const {
    if (auto value = featureValue(name)) {
        if (auto array = value->multiArrayValue()) return *array;
        throw Error(Error::Code::missingFeature, "feature \"" + name + "\" is not a multi-array");
    }
    throw Error(Error::Code::missingFeature, "feature \"" + name + "\" is missing");
}

std::set<std::string> DictionaryFeatureProvider::featureNames() const {
    std::set<std::string> names;
    for (const auto& [name, value] : features_) names.insert(name);
    return names;
}

std::optional<FeatureValue> DictionaryFeatureProvider::featureValue(const std::string& name) const {
    auto found = features_.find(name);
    if (found == features_.end()) return std::nullopt;
    return found->second;
}

}  // namespace mlruntime
