#include "DaroriCore/ModelUtilities.hpp"

#include <algorithm>
#include <system_error>

namespace darori::ModelUtilities {
namespace fs = std::filesystem;

namespace {

const fs::path PACKAGE_MODEL = fs::path("Data") / "com.apple.CoreML" / "model.mlmodel";

bool itemExists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

std::optional<std::vector<int64_t>> shapeOf(const mlruntime::FeatureDescription* feature) {
    if (!feature || feature->type != mlruntime::FeatureType::MultiArray || !feature->multiArrayConstraint) {
        return std::nullopt;
    }
    return feature->multiArrayConstraint->shape;
}

std::optional<int64_t> entry(const std::optional<std::vector<int64_t>>& shape, int position) {
    if (!shape || position < 0 || static_cast<size_t>(position) >= shape->size()) return std::nullopt;
    return (*shape)[static_cast<size_t>(position)];
}

}  // namespace

fs::path detectModelURL(const fs::path& folder, std::string_view name) {
    const fs::path compiled = folder / (std::string(name) + ".mlmodelc");
    const fs::path package = folder / (std::string(name) + ".mlpackage") / PACKAGE_MODEL;
    if (!itemExists(compiled) && itemExists(package)) return package;
    return compiled;
}

fs::path detectModelURL(const fs::path& folder, std::string_view name, bool recursive) {
    if (!recursive) return detectModelURL(folder, name);
    const std::string target = std::string(name) + ".mlmodelc";
    const fs::path direct = folder / target;
    if (itemExists(direct)) return direct;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        if (it->path().filename() == target) return it->path();
    }
    return direct;
}

std::optional<fs::path> detectModelURL(const fs::path& folder) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec), end;
    if (ec) return std::nullopt;
    // Listing order is not defined by the file system; sort by name so the choice is stable.
    std::vector<fs::path> entries;
    for (; !ec && it != end; it.increment(ec)) entries.push_back(it->path());
    std::sort(entries.begin(), entries.end());
    for (const auto& p : entries) {
        if (p.extension() == ".mlmodelc") return p;
    }
    for (const auto& p : entries) {
        if (p.extension() == ".mlpackage") return p / PACKAGE_MODEL;
    }
    return std::nullopt;
}

std::optional<std::vector<int64_t>> getModelInputShape(const mlruntime::Model* model, std::string_view name) {
    if (!model) return std::nullopt;
    return shapeOf(model->description().input(name));
}

std::optional<std::vector<int64_t>> getModelOutputShape(const mlruntime::Model* model, std::string_view name) {
    if (!model) return std::nullopt;
    return shapeOf(model->description().output(name));
}

std::optional<int64_t> getModelInputDimension(const mlruntime::Model* model, std::string_view name, int position) {
    return entry(getModelInputShape(model, name), position);
}

std::optional<int64_t> getModelOutputDimension(const mlruntime::Model* model, std::string_view name, int position) {
    return entry(getModelOutputShape(model, name), position);
}

}  // namespace darori::ModelUtilities
