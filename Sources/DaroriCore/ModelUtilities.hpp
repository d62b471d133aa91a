// Finding a model's file inside a model folder (compiled models and model packages), and reading
// the declared shapes of a loaded model's features. Nothing here fails: missing files, unreadable
// folders and missing features give the documented fallback. Pure apart from reading the file
// system; thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "MLRuntime/Model.hpp"

namespace darori::ModelUtilities {

// folder/<name>.mlmodelc, unless that does not exist while the package's inner model file
// folder/<name>.mlpackage/Data/com.apple.CoreML/model.mlmodel does; then that file. The result is
// not guaranteed to exist.
std::filesystem::path detectModelURL(const std::filesystem::path& folder, std::string_view name);
// With recursive true: folder/<name>.mlmodelc when it exists, else the first item named
// "<name>.mlmodelc" found below the folder, else folder/<name>.mlmodelc (packages are not
// considered). With recursive false, as above.
std::filesystem::path detectModelURL(const std::filesystem::path& folder, std::string_view name, bool recursive);
// The first "*.mlmodelc" entry of the folder (by name), else the inner model file of the first
// "*.mlpackage" entry (not checked to exist), else absent (also when the folder cannot be listed).
std::optional<std::filesystem::path> detectModelURL(const std::filesystem::path& folder);

// The declared shape of the named multi-array input (output); absent with no model, no such
// feature, or a feature that is not a multi-array with a shape constraint.
std::optional<std::vector<int64_t>> getModelInputShape(const mlruntime::Model* model, std::string_view name);
std::optional<std::vector<int64_t>> getModelOutputShape(const mlruntime::Model* model, std::string_view name);
// The entry at `position` of that shape; absent unless 0 <= position < rank.
std::optional<int64_t> getModelInputDimension(const mlruntime::Model* model, std::string_view name, int position);
std::optional<int64_t> getModelOutputDimension(const mlruntime::Model* model, std::string_view name, int position);

}  // namespace darori::ModelUtilities
