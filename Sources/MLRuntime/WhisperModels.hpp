#pragma once

#include <memory>

#include "MLRuntime/ComputeUnits.hpp"
#include "MLRuntime/Model.hpp"
#include "MLRuntime/MultiArray.hpp"
#include "MLRuntime/WhisperArchitecture.hpp"

namespace mlruntime {

class ModelFile;

// Builders of the four model kinds from an opened model folder; Model::load picks one by kind.
// Each reads its hyperparameters, checks model.json's declared features and every tensor's shape,
// copies the weights it keeps and closes the weights file. Throw Error(invalidModel) naming the
// file at fault. The models serialise their own predictions (one at a time per model, each using
// up to all of the shared thread budget).
std::shared_ptr<Model> makeWhisperMelModel(ModelFile& file, ComputeUnits computeUnits);
std::shared_ptr<Model> makeWhisperEncoderModel(ModelFile& file, ComputeUnits computeUnits);
std::shared_ptr<Model> makeWhisperDecoderModel(ModelFile& file, ComputeUnits computeUnits);
std::shared_ptr<Model> makeScriptedDecoderModel(ModelFile& file, ComputeUnits computeUnits);

namespace whisper {

// Hyperparameters of each kind as read from model.json, each checked against its limit
// (WhisperArchitecture.hpp) and, for the kinds with weights, against the tensors of weights.bin
// before anything is derived from them. Throw Error(invalidModel) naming the file at fault.
MelConfig melConfig(const ModelFile& file);
EncoderConfig encoderConfig(const ModelFile& file);
DecoderConfig decoderConfig(const ModelFile& file);

// The input named `name` as contiguous float32 values (converted when the array holds another
// type or has gaps). Throws Error(missingFeature) when absent.
std::vector<float> inputFloats(const FeatureProvider& inputs, const std::string& name);

// The values of `array` as contiguous float32: its own storage when it already is, else converted
// into `scratch` (reused across calls, so no fresh buffer per prediction).
const float* floatsOf(const MultiArray& array, std::vector<float>& scratch);

// A new contiguous Float16 array of `shape` holding `values` (rounded to nearest even).
MultiArray halfArray(const float* values, std::vector<int64_t> shape);

}  // namespace whisper

}  // namespace mlruntime
