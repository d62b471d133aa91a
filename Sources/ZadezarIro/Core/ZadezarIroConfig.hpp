// Everything the engine facade needs to come up: model, folders, hub settings, compute units,
// audio input options, replacement components, logging, and whether to download, load and
// prewarm. It only stores its fields; the facade applies the defaults for absent ones.
//
// Not thread-safe: fill it on one thread and hand it over. It holds shared references to the
// components it is given; the facade takes its own references when it is created.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DaroriCore/Logging.hpp"
#include "ZadezarIro/Core/Audio/AudioInputOptions.hpp"
#include "ZadezarIro/Core/ModelVariant.hpp"

namespace zadezariro {

// The replaceable engine components, defined with the audio and inference code.
class AudioProcessing;
class FeatureExtracting;
class AudioEncoding;
class TextDecoding;
class LogitsFiltering;
class SegmentSeeking;
class VoiceActivityDetector;

class ZadezarIroConfig {
public:
    std::optional<std::string> model;
    std::optional<std::filesystem::path> downloadBase;
    std::optional<std::string> modelRepo;
    std::optional<std::string> modelToken;
    std::optional<std::string> modelEndpoint;
    std::optional<std::string> modelFolder;
    std::optional<std::filesystem::path> tokenizerFolder;
    std::optional<ModelComputeOptions> computeOptions;
    std::shared_ptr<AudioProcessing> audioProcessor;
    std::shared_ptr<FeatureExtracting> featureExtractor;
    std::shared_ptr<AudioEncoding> audioEncoder;
    std::shared_ptr<TextDecoding> textDecoder;
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters;
    std::shared_ptr<SegmentSeeking> segmentSeeker;
    std::shared_ptr<VoiceActivityDetector> voiceActivityDetector;
    bool verbose = true;
    darori::Logging::LogLevel logLevel = darori::Logging::LogLevel::info;
    std::optional<bool> prewarm;
    std::optional<bool> load;
    bool download = true;
    bool useBackgroundDownloadSession = false;

    // The audio input options, stored unchanged (no default is filled in).
    const std::optional<AudioInputOptions>& audioInputConfig() const { return audioInputConfigStorage_; }
    void setAudioInputConfig(std::optional<AudioInputOptions> options) { audioInputConfigStorage_ = std::move(options); }

    ZadezarIroConfig() = default;
    // Stores all 22 arguments unchanged, in field order. Never fails.
    ZadezarIroConfig(std::optional<std::string> model, std::optional<std::filesystem::path> downloadBase,
                     std::optional<std::string> modelRepo, std::optional<std::string> modelToken,
                     std::optional<std::string> modelEndpoint, std::optional<std::string> modelFolder,
                     std::optional<std::filesystem::path> tokenizerFolder, std::optional<ModelComputeOptions> computeOptions,
                     std::optional<AudioInputOptions> audioInputConfig, std::shared_ptr<AudioProcessing> audioProcessor,
                     std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<AudioEncoding> audioEncoder,
                     std::shared_ptr<TextDecoding> textDecoder,
                     std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters,
                     std::shared_ptr<SegmentSeeking> segmentSeeker,
                     std::shared_ptr<VoiceActivityDetector> voiceActivityDetector, bool verbose,
                     darori::Logging::LogLevel logLevel, std::optional<bool> prewarm, std::optional<bool> load, bool download,
                     bool useBackgroundDownloadSession)
        : model(std::move(model)),
          downloadBase(std::move(downloadBase)),
          modelRepo(std::move(modelRepo)),
          modelToken(std::move(modelToken)),
          modelEndpoint(std::move(modelEndpoint)),
          modelFolder(std::move(modelFolder)),
          tokenizerFolder(std::move(tokenizerFolder)),
          computeOptions(computeOptions),
          audioProcessor(std::move(audioProcessor)),
          featureExtractor(std::move(featureExtractor)),
          audioEncoder(std::move(audioEncoder)),
          textDecoder(std::move(textDecoder)),
          logitsFilters(std::move(logitsFilters)),
          segmentSeeker(std::move(segmentSeeker)),
          voiceActivityDetector(std::move(voiceActivityDetector)),
          verbose(verbose),
          logLevel(logLevel),
          prewarm(prewarm),
          load(load),
          download(download),
          useBackgroundDownloadSession(useBackgroundDownloadSession),
          audioInputConfigStorage_(std::move(audioInputConfig)) {}

private:
    std::optional<AudioInputOptions> audioInputConfigStorage_;
};

}  // namespace zadezariro
