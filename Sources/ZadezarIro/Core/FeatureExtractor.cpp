#include "ZadezarIro/Core/FeatureExtractor.hpp"

#include "Cancellation/Cancellation.hpp"
#include "DaroriCore/ModelUtilities.hpp"
#include "ZadezarIro/Core/ModelFeatures.hpp"
#include "ZadezarIro/Utilities/LoggingCategories.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace zadezariro {

std::optional<std::int64_t> FeatureExtractor::melCount() const {
    auto model = model_.get();
    return darori::ModelUtilities::getModelOutputDimension(model.get(), "melspectrogram_features", 1);
}

std::optional<std::int64_t> FeatureExtractor::windowSamples() const {
    auto model = model_.get();
    return darori::ModelUtilities::getModelInputDimension(model.get(), "audio", 0);
}

std::optional<mlruntime::MultiArray> FeatureExtractor::logMelSpectrogram(const mlruntime::MultiArray& audio) {
    if (audio.isNull()) throw WhisperError::audioProcessingFailed("FeatureExtractor input must be MLMultiArray");
    auto model = model_.get();
    if (!model) throw WhisperError::modelsUnavailable("Models are unavailable");
    // A cancelled task stops here, before any work and with no signpost interval open.
    cancellation::checkCancellation();
    auto& category = LoggingCategories::FeatureExtractor();
    auto interval = LoggingCategories::beginSignpost("ExtractAudioFeatures", category.signposter);
    std::shared_ptr<mlruntime::FeatureProvider> output;
    try {
        output = model->predict(MelSpectrogramInput(audio));
    } catch (...) {
        LoggingCategories::endSignpost("ExtractAudioFeatures", interval, category.signposter);
        throw;
    }
    LoggingCategories::endSignpost("ExtractAudioFeatures", interval, category.signposter);
    return MelSpectrogramOutput(output).melspectrogramFeatures();
}

}  // namespace zadezariro
