// Where a model set is in its life, shared by the pipeline, the model manager and the host.
#pragma once

#include <string>

namespace darori {

enum class ModelState { unloading, unloaded, loading, loaded, prewarming, prewarmed, downloading, downloaded };

// "Unloading", "Unloaded", "Loading", "Loaded", "Specializing", "Specialized", "Downloading",
// "Downloaded".
std::string description(ModelState state);
// True for the transitional states: unloading, loading, prewarming, downloading.
bool isBusy(ModelState state);

}  // namespace darori
