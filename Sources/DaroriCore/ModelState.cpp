#include "DaroriCore/ModelState.hpp"

namespace darori {

std::string description(ModelState state) {
    switch (state) {
    case ModelState::unloading: return "Unloading";
    case ModelState::unloaded: return "Unloaded";
    case ModelState::loading: return "Loading";
    case ModelState::loaded: return "Loaded";
    case ModelState::prewarming: return "Specializing";
    case ModelState::prewarmed: return "Specialized";
    case ModelState::downloading: return "Downloading";
    case ModelState::downloaded: return "Downloaded";
    }
    return "Unloaded";
}

bool isBusy(ModelState state) {
    // Every second case, starting with the first, is a transition.
    return static_cast<int>(state) % 2 == 0;
}

}  // namespace darori
