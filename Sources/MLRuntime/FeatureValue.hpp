#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "MLRuntime/MultiArray.hpp"

namespace mlruntime {

// Kinds of model features. Image appears only in model descriptions; this runtime has no image values.
enum class FeatureType { Invalid, Int64, Double, String, Image, MultiArray };

// "invalid", "int64", "double", "string", "image", "multiArray".
std::string_view featureTypeName(FeatureType type) noexcept;

// One named model input or output value: an integer, a double, a text or a multi-array.
// A multi-array value shares storage with the array it was made from (see MultiArray).
class FeatureValue {
public:
    FeatureValue(int value) : value_(static_cast<int64_t>(value)) {}
    FeatureValue(int64_t value) : value_(value) {}
    FeatureValue(double value) : value_(value) {}
    FeatureValue(std::string value) : value_(std::move(value)) {}
    FeatureValue(MultiArray value) : value_(std::move(value)) {}

    FeatureType type() const noexcept;

    // The value when it is of that kind, else nothing. Never throw.
    std::optional<int64_t> int64Value() const;
    std::optional<double> doubleValue() const;
    std::optional<std::string> stringValue() const;
    std::optional<MultiArray> multiArrayValue() const;

private:
    std::variant<int64_t, double, std::string, MultiArray> value_;
};

}  // namespace mlruntime
