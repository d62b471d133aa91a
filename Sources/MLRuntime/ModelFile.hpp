#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "MLRuntime/ComputeUnits.hpp"
#include "MLRuntime/Model.hpp"
#include "MLRuntime/ModelDescription.hpp"
#include "MLRuntime/WeightsFile.hpp"

namespace mlruntime {

// The contents of a model folder "<Name>.mlmodelc/": "model.json" (format version, kind,
// hyperparameters, declared input and output features, and kind-specific entries) and
// "weights.bin" (WeightsFile).
//
// model.json:
//   {"format_version": 1, "kind": "whisper-encoder",
//    "hyperparameters": {"n_mels": 80, ...},
//    "inputs":  [{"name": "melspectrogram_features", "data_type": "float16", "shape": [1, 80, 1, 3000]}],
//    "outputs": [...], ...}
class ModelFile {
public:
    static constexpr int FORMAT_VERSION = 1;
    // A model.json above this size is refused unread (real ones hold a few kilobytes).
    static constexpr size_t MAX_JSON_BYTES = 16 << 20;

    // Reads and checks "model.json" of `folder` and opens its "weights.bin". Throws
    // Error(invalidModel) naming the folder or the file at fault: a missing folder or file,
    // malformed or oversized JSON, another format version, a missing kind or a damaged weights
    // file. Error texts quote values from the files only as short excerpts (JsonExcerpt.hpp).
    static ModelFile open(const std::filesystem::path& folder);

    const std::filesystem::path& folder() const noexcept { return folder_; }
    std::filesystem::path jsonPath() const { return folder_ / "model.json"; }
    const std::string& kind() const noexcept { return kind_; }
    const nlohmann::json& json() const noexcept { return json_; }
    const WeightsFile& weights() const noexcept { return *weights_; }
    // Releases the mapping of weights.bin once the model has copied what it needs.
    void closeWeights() noexcept { weights_.reset(); }

    // The hyperparameter `name` as an integer in [1, limit]; throws Error(invalidModel) naming
    // model.json when it is missing, not an integer, not positive or above `limit`.
    int64_t hyperparameter(const std::string& name, int64_t limit) const;

    // The features declared in model.json. Throws Error(invalidModel) naming model.json when they
    // are malformed.
    ModelDescription declaredDescription() const;

    // Checks that model.json declares exactly `expected` (names, order, element types, shapes);
    // throws Error(invalidModel) naming model.json and the first difference otherwise.
    void checkDescription(const ModelDescription& expected) const;

    // Throws Error(invalidModel) with "<model.json path>: <problem>".
    [[noreturn]] void fail(const std::string& problem) const;

private:
    std::filesystem::path folder_;
    std::string kind_;
    nlohmann::json json_;
    std::shared_ptr<const WeightsFile> weights_;
};

// Builds a model.json document for `kind` with the given hyperparameters and features, as the
// generator and tests write them. `extra` entries (an object) are merged in at the top level.
nlohmann::ordered_json makeModelJSON(const std::string& kind, const nlohmann::ordered_json& hyperparameters,
                                     const ModelDescription& description,
                                     const nlohmann::ordered_json& extra = nlohmann::ordered_json::object());

// A multi-array feature description (non-optional).
FeatureDescription arrayFeature(const std::string& name, DataType type, std::vector<int64_t> shape);

}  // namespace mlruntime
