#include "MLRuntime/FeatureValue.hpp"

namespace mlruntime {

std::string_view featureTypeName(FeatureType type) noexcept {
    switch (type) {
        case FeatureType::Invalid: return "invalid";
        case FeatureType::Int64: return "int64";
        case FeatureType::Double: return "double";
        case FeatureType::String: return "string";
        case FeatureType::Image: return "image";
        case FeatureType::MultiArray: return "multiArray";
    }
    return "invalid";
}

FeatureType FeatureValue::type() const noexcept {
    switch (value_.index()) {
        case 0: return FeatureType::Int64;
        case 1: return FeatureType::Double;
        case 2: return FeatureType::String;
        case 3: return FeatureType::MultiArray;
    }
    return FeatureType::Invalid;
}

template <class T>
static std::optional<T> alternative(const std::variant<int64_t, double, std::string, MultiArray>& value) {
    if (const T* held = std::get_if<T>(&value)) return *held;
    return std::nullopt;
}

std::optional<int64_t> FeatureValue::int64Value() const { return alternative<int64_t>(value_); }
std::optional<double> FeatureValue::doubleValue() const { return alternative<double>(value_); }
std::optional<std::string> FeatureValue::stringValue() const { return alternative<std::string>(value_); }
std::optional<MultiArray> FeatureValue::multiArrayValue() const { return alternative<MultiArray>(value_); }

}  // namespace mlruntime
