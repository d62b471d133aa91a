#include "Talkweft/Recorder.hpp"

#include "Talkweft/Log.hpp"

namespace talkweft {

namespace {
constexpr std::uint32_t TAP_FRAMES = 4096;
constexpr double TARGET_RATE = 16000;
}  // namespace

Recorder::Recorder(audioinput::AudioSystem& audio, platform::MainLoop& loop)
    : audio_(audio), loop_(loop), engine_(audio.makeEngine()), self_(std::make_shared<Recorder*>(this)) {}

Recorder::~Recorder() {
    self_.reset();
    if (engine_) {
        engine_->setConfigurationChangeHandler(nullptr);
        engine_->removeTap();
        engine_->stop();
    }
}

void Recorder::start() {
    if (running_) return;
    if (!audio_.defaultInputDevice()) throw RecorderError(RecorderError::Case::noInput);
    if (engine_) {
        engine_->setConfigurationChangeHandler(nullptr);
        engine_->removeTap();
        engine_->stop();
    }
    engine_ = audio_.makeEngine();
    {
        std::lock_guard guard(lock_);
        samples_.clear();
    }
    connect();
    std::weak_ptr<Recorder*> weak = self_;
    engine_->setConfigurationChangeHandler([weak, &loop = loop_] {
        loop.post([weak] {
            if (auto self = weak.lock()) (*self)->reconnect();
        });
    });
    running_ = true;
}

void Recorder::connect() {
    audioinput::AudioFormat in = engine_->inputFormat();
    audioinput::AudioFormat out = engine_->outputFormat();
    if (!in.isValid() || !out.isValid()) throw RecorderError(RecorderError::Case::noInput);
    try {
        converter_ = std::make_unique<audioinput::Converter>(out, TARGET_RATE);
    } catch (const std::exception&) {
        throw RecorderError(RecorderError::Case::noInput);
    }
    // The tap is removed (which waits for a running callback) before the recorder goes away.
    engine_->installTap(TAP_FRAMES, out, [this](const audioinput::AudioBuffer& b) { append(b); });
    try {
        engine_->start();
    } catch (...) {
        engine_->removeTap();
        throw;
    }
}

void Recorder::append(const audioinput::AudioBuffer& buffer) {
    if (!converter_ || buffer.frameCount() == 0) return;
    std::vector<float> converted;
    try {
        converted = converter_->convert(buffer);
    } catch (const std::exception&) {
        return;  // a buffer that cannot be converted leaves a gap
    }
    std::lock_guard guard(lock_);
    samples_.insert(samples_.end(), converted.begin(), converted.end());
}

void Recorder::drainConverter() {
    if (!converter_) return;
    auto tail = converter_->flush();
    converter_.reset();
    std::lock_guard guard(lock_);
    samples_.insert(samples_.end(), tail.begin(), tail.end());
}

std::vector<float> Recorder::stop() {
    if (!running_) return {};
    running_ = false;
    engine_->setConfigurationChangeHandler(nullptr);
    engine_->removeTap();
    engine_->stop();
    drainConverter();
    std::lock_guard guard(lock_);
    std::vector<float> result;
    result.swap(samples_);
    return result;
}

void Recorder::reconnect() {
    if (!running_) return;
    engine_->removeTap();
    engine_->stop();
    drainConverter();
    try {
        connect();
        Log::write("recorder: audio device changed, reconnected");
    } catch (const std::exception& e) {
        Log::write(std::string("recorder: audio device changed, couldn't reconnect: ") + e.what());
        onInterrupted();
    }
}

}  // namespace talkweft
