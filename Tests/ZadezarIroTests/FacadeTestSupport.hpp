// Helpers of the facade tests: a small scripted test model (the variant detection's 384-wide tiny
// size with one layer), the configuration that loads it with the English tokenizer fixture, test
// audio, and a log that a test can wait on.
#pragma once

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DaroriCore/Logging.hpp"
#include "MLRuntime/WhisperTestModels.hpp"
#include "TestSupport.hpp"
#include "ZadezarIro/Core/ZadezarIro.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace zadezariro::testsupport {

inline const std::filesystem::path TOKENIZER_FIXTURE = TALKWEFT_SOURCE_DIR "/../shared/fixtures/tokenizer-en";

// Width 384 and an English-only vocabulary: detected as tiny.en. One layer keeps windows cheap.
inline mlruntime::testmodels::ModelSize tinySize(std::int64_t vocab = 51864) {
    auto size = *mlruntime::testmodels::namedSize("tiny");
    size.layers = 1;
    size.vocab = vocab;
    return size;
}

// Writes a scripted model folder (default script: "<|0.00|> Hello world.<|1.00|>").
inline void writeTestModel(const std::filesystem::path& folder, std::int64_t vocab = 51864, std::vector<std::int64_t> script = {}) {
    mlruntime::testmodels::FolderOptions options;
    options.size = tinySize(vocab);
    options.scripted = true;
    options.script = std::move(script);
    mlruntime::testmodels::writeModelFolder(folder, options);
}

// One scripted English-only model folder shared by the tests of a process.
inline const std::filesystem::path& sharedTestModel() {
    static TempDir dir;
    static const std::filesystem::path folder = [] {
        auto path = dir.path / "openai_whisper-tiny.en";
        writeTestModel(path);
        return path;
    }();
    return folder;
}

// Loads `folder` at construction, with the tokenizer fixture, no download and the engine log off.
inline ZadezarIroConfig localConfig(const std::filesystem::path& folder = sharedTestModel()) {
    ZadezarIroConfig config;
    config.modelFolder = folder.string();
    config.tokenizerFolder = TOKENIZER_FIXTURE;
    config.computeOptions = ModelComputeOptions::make(mlruntime::ComputeUnits::cpuOnly, mlruntime::ComputeUnits::cpuOnly,
                                                      mlruntime::ComputeUnits::cpuOnly);
    config.download = false;
    config.verbose = false;
    return config;
}

// A 440 Hz tone of `seconds` at amplitude 0.3.
inline std::vector<float> toneSamples(double seconds, float amplitude = 0.3f) {
    std::vector<float> samples(static_cast<std::size_t>(seconds * 16000));
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = amplitude * std::sin(2.0f * static_cast<float>(M_PI) * 440.0f * static_cast<float>(i) / 16000.0f);
    return samples;
}

inline std::vector<float> silence(double seconds) { return std::vector<float>(static_cast<std::size_t>(seconds * 16000), 0.0f); }

inline std::vector<float> concat(std::initializer_list<std::vector<float>> parts) {
    std::vector<float> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The engine log at debug level, kept for one test; waitFor blocks until a line with the prefix
// has been written.
class WaitableLog {
public:
    WaitableLog() {
        darori::Logging::updateCallback([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
            changed_.notify_all();
        });
        darori::Logging::updateLogLevel(darori::Logging::LogLevel::debug);
    }
    ~WaitableLog() {
        darori::Logging::updateCallback(nullptr);
        darori::Logging::updateLogLevel(darori::Logging::LogLevel::none);
    }
    void waitFor(const std::string& prefix) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return countLocked(prefix) > 0; });
    }
    // Blocks until `ready(count)` holds, where count(prefix) counts the lines with that prefix.
    template <class Ready>
    void waitUntil(Ready ready) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return ready([&](const std::string& prefix) { return countLocked(prefix); }); });
    }
    std::size_t count(const std::string& prefix) const {
        std::lock_guard lock(mutex_);
        return countLocked(prefix);
    }

private:
    std::size_t countLocked(const std::string& prefix) const {
        std::size_t n = 0;
        for (const auto& line : lines_)
            if (line.rfind(prefix, 0) == 0) ++n;
        return n;
    }
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// Runs `body` and expects a WhisperError whose message starts with `prefix`.
template <class Body>
void expectWhisperError(Body&& body, const std::string& prefix) {
    try {
        body();
        ADD_FAILURE() << "no error; expected \"" << prefix << "\"";
    } catch (const WhisperError& e) {
        EXPECT_EQ(std::string(e.what()).substr(0, prefix.size()), prefix) << e.what();
    }
}

inline std::string messageOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    }
}

}  // namespace zadezariro::testsupport
