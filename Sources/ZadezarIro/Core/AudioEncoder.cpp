#include "ZadezarIro/Core/AudioEncoder.hpp"

#include "Cancellation/Cancellation.hpp"
#include "DaroriCore/ModelUtilities.hpp"
#include "ZadezarIro/Core/ModelFeatures.hpp"
#include "ZadezarIro/Utilities/LoggingCategories.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace zadezariro {

std::optional<std::int64_t> AudioEncoder::embedSize() const {
    auto model = model_.get();
    return darori::ModelUtilities::getModelOutputDimension(model.get(), "encoder_output_embeds", 1);
}

std::optional<std::int64_t> AudioEncoder::sequenceLength() const {
    auto model = model_.get();
    return darori::ModelUtilities::getModelOutputDimension(model.get(), "encoder_output_embeds", 3);
}

std::optional<mlruntime::MultiArray> AudioEncoder::encodeFeatures(const mlruntime::MultiArray& features) {
    if (features.isNull()) throw WhisperError::audioProcessingFailed("AudioEncoder input must be MLMultiArray");
    auto model = model_.get();
    if (!model) throw WhisperError::modelsUnavailable("Models are unavailable");
    // A cancelled task stops here, before any work and with no signpost interval open.
    cancellation::checkCancellation();
    auto& category = LoggingCategories::AudioEncoding();
    auto interval = LoggingCategories::beginSignpost("EncodeAudio", category.signposter);
    std::shared_ptr<mlruntime::FeatureProvider> output;
    try {
        output = model->predict(AudioEncoderInput(features));
    } catch (...) {
        LoggingCategories::endSignpost("EncodeAudio", interval, category.signposter);
        throw;
    }
    LoggingCategories::endSignpost("EncodeAudio", interval, category.signposter);
    return AudioEncoderOutput(output).encoder_output_embeds();
}

}  // namespace zadezariro
