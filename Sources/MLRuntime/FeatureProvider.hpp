#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>

#include "MLRuntime/FeatureValue.hpp"

namespace mlruntime {

// A set of named feature values: what a model takes as input and gives back as output.
// Names are compared as exact byte strings (case-sensitive).
class FeatureProvider {
public:
    virtual ~FeatureProvider() = default;

    // The names this provider answers for.
    virtual std::set<std::string> featureNames() const = 0;
    // The value named `name`, or nothing for any other name. Never throws.
    virtual std::optional<FeatureValue> featureValue(const std::string& name) const = 0;

    // The multi-array named `name`; throws Error(missingFeature) naming the feature when it is
    // absent or not a multi-array.
    MultiArray requireMultiArray(const std::string& name) const;
};

// A provider over a fixed map of names to values. Immutable after construction; thread-safe.
class DictionaryFeatureProvider : public FeatureProvider {
public:
    DictionaryFeatureProvider() = default;
    explicit DictionaryFeatureProvider(std::map<std::string, FeatureValue> features) : features_(std::move(features)) {}

    std::set<std::string> featureNames() const override;
    std::optional<FeatureValue> featureValue(const std::string& name) const override;

private:
    std::map<std::string, FeatureValue> features_;
};

}  // namespace mlruntime
