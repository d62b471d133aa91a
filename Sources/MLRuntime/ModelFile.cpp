#include "MLRuntime/ModelFile.hpp"

#include <fstream>

#include "MLRuntime/Error.hpp"
#include "MLRuntime/TensorHeader.hpp"
#include "MLRuntime/JsonExcerpt.hpp"
#include "MLRuntime/WhisperModels.hpp"

namespace mlruntime {

namespace {

std::string featureText(const FeatureDescription& feature) {
    std::string text;
    text.append(1, '"').append(feature.name).append(1, '"');
    if (feature.multiArrayConstraint)
        text.append(1, ' ')
            .append(traits(feature.multiArrayConstraint->dataType).name)
            .append(1, ' ')
            .append(tensorShapeText(feature.multiArrayConstraint->shape));
    return text;
}

}  // namespace

void ModelFile::fail(const std::string& problem) const {
    throw Error(Error::Code::invalidModel, jsonPath().string() + ": " + problem);
}

ModelFile ModelFile::open(const std::filesystem::path& folder) {
    ModelFile file;
    file.folder_ = folder;
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error))
        throw Error(Error::Code::invalidModel, folder.string() + ": model folder not found");
    std::ifstream in(file.jsonPath(), std::ios::binary);
    if (!in) file.fail("cannot read model description (missing file?)");
    std::string text(MAX_JSON_BYTES + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) file.fail("cannot read model description");
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > MAX_JSON_BYTES)
        file.fail("model description larger than " + std::to_string(MAX_JSON_BYTES) + " bytes");
    try {
        file.json_ = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& parseError) {
        // The parser's message quotes the token it stopped at, which may be a whole long string.
        file.fail("malformed JSON: " + textExcerpt(parseError.what(), 200));
    }
    if (!file.json_.is_object()) file.fail("not a JSON object");
    auto version = file.json_.find("format_version");
    if (version == file.json_.end() || !version->is_number_integer())
        file.fail("missing format_version");
    if (version->get<int64_t>() != FORMAT_VERSION)
        file.fail("unsupported format_version " + jsonExcerpt(*version) + " (this runtime reads version " +
                  std::to_string(FORMAT_VERSION) + ")");
    auto kind = file.json_.find("kind");
    if (kind == file.json_.end() || !kind->is_string()) file.fail("missing kind");
    file.kind_ = kind->get<std::string>();
    auto hyper = file.json_.find("hyperparameters");
    if (hyper == file.json_.end() || !hyper->is_object()) file.fail("missing hyperparameters");
    file.weights_ = WeightsFile::open(folder / "weights.bin");
    return file;
}

int64_t ModelFile::hyperparameter(const std::string& name, int64_t limit) const {
    const auto& hyper = json_.at("hyperparameters");
    auto found = hyper.find(name);
    if (found == hyper.end()) fail("missing hyperparameter \"" + name + "\"");
    if (!found->is_number_integer() || found->get<int64_t>() <= 0)
        fail("hyperparameter \"" + name + "\" must be a positive integer, not " + jsonExcerpt(*found));
    if (found->get<int64_t>() > limit)
        fail("hyperparameter \"" + name + "\" is " + std::to_string(found->get<int64_t>()) + ", more than the " +
             std::to_string(limit) + " this runtime accepts");
    return found->get<int64_t>();
}

ModelDescription ModelFile::declaredDescription() const {
    ModelDescription description;
    for (const char* side : {"inputs", "outputs"}) {
        auto list = json_.find(side);
        if (list == json_.end() || !list->is_array()) fail(std::string("missing ") + side);
        for (const auto& item : *list) {
            if (!item.is_object() || !item.contains("name") || !item["name"].is_string() || !item.contains("data_type") ||
                !item["data_type"].is_string() || !item.contains("shape") || !item["shape"].is_array())
                fail(std::string("malformed feature in ") + side + ": " + jsonExcerpt(item));
            auto type = dataTypeNamed(item["data_type"].get<std::string>());
            if (!type) fail("unknown data_type " + jsonExcerpt(item["data_type"]));
            std::vector<int64_t> shape;
            for (const auto& dim : item["shape"]) {
                if (!dim.is_number_integer() || dim.get<int64_t>() <= 0) fail("bad shape " + jsonExcerpt(item["shape"]));
                shape.push_back(dim.get<int64_t>());
            }
            auto feature = arrayFeature(item["name"].get<std::string>(), *type, std::move(shape));
            if (item.contains("optional")) {
                if (!item["optional"].is_boolean()) fail("\"optional\" must be true or false in " + jsonExcerpt(item));
                feature.isOptional = item["optional"].get<bool>();
            }
            (side == std::string("inputs") ? description.inputs : description.outputs).push_back(std::move(feature));
        }
    }
    return description;
}

void ModelFile::checkDescription(const ModelDescription& expected) const {
    ModelDescription declared = declaredDescription();
    auto compare = [&](const std::vector<FeatureDescription>& want, const std::vector<FeatureDescription>& have,
                       const char* side) {
        if (want.size() != have.size())
            fail(std::string("declares ") + std::to_string(have.size()) + " " + side + ", the " + kind_ +
                 " model has " + std::to_string(want.size()));
        for (size_t i = 0; i < want.size(); ++i) {
            const auto& a = want[i];
            const auto& b = have[i];
            bool same = a.name == b.name && a.multiArrayConstraint && b.multiArrayConstraint &&
                        a.multiArrayConstraint->shape == b.multiArrayConstraint->shape &&
                        a.multiArrayConstraint->dataType == b.multiArrayConstraint->dataType;
            if (!same)
                fail(std::string(side) + " feature " + featureText(b) + " disagrees with the model's " +
                     featureText(a));
        }
    };
    compare(expected.inputs, declared.inputs, "inputs");
    compare(expected.outputs, declared.outputs, "outputs");
}

FeatureDescription arrayFeature(const std::string& name, DataType type, std::vector<int64_t> shape) {
    FeatureDescription feature;
    feature.name = name;
    feature.type = FeatureType::MultiArray;
    feature.multiArrayConstraint = MultiArrayConstraint{std::move(shape), type};
    return feature;
}

nlohmann::ordered_json makeModelJSON(const std::string& kind, const nlohmann::ordered_json& hyperparameters,
                                     const ModelDescription& description, const nlohmann::ordered_json& extra) {
    nlohmann::ordered_json document;
    document["format_version"] = ModelFile::FORMAT_VERSION;
    document["kind"] = kind;
    document["hyperparameters"] = hyperparameters;
    auto features = [](const std::vector<FeatureDescription>& list) {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (const auto& feature : list) {
            nlohmann::ordered_json item;
            item["name"] = feature.name;
            item["data_type"] = traits(feature.multiArrayConstraint->dataType).name;
            item["shape"] = feature.multiArrayConstraint->shape;
            if (feature.isOptional) item["optional"] = true;
            array.push_back(std::move(item));
        }
        return array;
    };
    document["inputs"] = features(description.inputs);
    document["outputs"] = features(description.outputs);
    for (const auto& [key, value] : extra.items()) document[key] = value;
    return document;
}

std::shared_ptr<Model> Model::load(const std::filesystem::path& folder, ComputeUnits computeUnits) {
    ModelFile file = ModelFile::open(folder);
    const std::string& kind = file.kind();
    if (kind == whisper::MEL_KIND) return makeWhisperMelModel(file, computeUnits);
    if (kind == whisper::ENCODER_KIND) return makeWhisperEncoderModel(file, computeUnits);
    if (kind == whisper::DECODER_KIND) return makeWhisperDecoderModel(file, computeUnits);
    if (kind == whisper::SCRIPTED_DECODER_KIND) return makeScriptedDecoderModel(file, computeUnits);
    file.fail("unknown model kind \"" + textExcerpt(kind) + "\"");
}

}  // namespace mlruntime
