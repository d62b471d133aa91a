#include "AudioInput/TestAudioSystem.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <stdexcept>

namespace audioinput {

namespace {

struct TestDevice {
    AudioDevice device;
    AudioFormat format;
};

struct EngineState {
    std::recursive_mutex deliveryMutex;  // held while the tap runs and by removeTap()
    // Guarded by State::mutex:
    std::optional<std::uint32_t> explicitDevice;
    bool running = false;
    bool active = false;  // started and not stopped (a paused engine is active)
    bool hasTap = false;
    std::uint32_t bufferSize = 0;
    AudioFormat tapFormat;
    TapCallback tap;
    std::function<void()> configHandler;
};

}  // namespace

struct TestAudioSystem::State {
    mutable std::mutex mutex;
    std::vector<TestDevice> devices;
    std::optional<std::uint32_t> defaultId;
    std::uint32_t nextId = 1;
    std::optional<std::string> startFailure;
    bool permission = true;
    int permissionRequests = 0;
    std::vector<std::weak_ptr<EngineState>> engines;

    const TestDevice* find(std::uint32_t id) const {
        for (const auto& d : devices)
            if (d.device.id == id) return &d;
        return nullptr;
    }
    std::optional<std::uint32_t> effective(const EngineState& e) const {
        if (e.explicitDevice) return find(*e.explicitDevice) ? e.explicitDevice : std::nullopt;
        return defaultId;
    }
    std::vector<std::shared_ptr<EngineState>> liveEngines() {
        std::vector<std::shared_ptr<EngineState>> out;
        std::erase_if(engines, [](const auto& w) { return w.expired(); });
        for (auto& w : engines)
            if (auto e = w.lock()) out.push_back(e);
        return out;
    }
};

namespace {

class TestEngine : public AudioEngine {
public:
    TestEngine(std::shared_ptr<TestAudioSystem::State> system, std::shared_ptr<EngineState> state)
        : system_(std::move(system)), state_(std::move(state)) {}
    ~TestEngine() override {
        removeTap();
        std::lock_guard lock(system_->mutex);
        state_->running = state_->active = false;
        state_->configHandler = nullptr;
    }

    AudioFormat inputFormat() override { return format(); }
    AudioFormat outputFormat() override { return format(); }

    void installTap(std::uint32_t bufferSize, const AudioFormat& fmt, TapCallback callback) override {
        std::lock_guard lock(system_->mutex);
        if (state_->hasTap) throw AudioEngineError("a tap is already installed on this input");
        AudioFormat out = formatLocked();
        if (!out.isValid() || fmt.sampleRate != out.sampleRate || fmt.channels != out.channels)
            throw AudioEngineError("tap format " + fmt.description() + " does not match the input " + out.description());
        state_->hasTap = true;
        state_->bufferSize = std::max<std::uint32_t>(bufferSize, 1);
        state_->tapFormat = fmt;
        state_->tap = std::move(callback);
    }

    void removeTap() override {
        std::lock_guard delivery(state_->deliveryMutex);
        std::lock_guard lock(system_->mutex);
        state_->hasTap = false;
        state_->tap = nullptr;
    }

    void start() override {
        std::lock_guard lock(system_->mutex);
        if (system_->startFailure) {
            std::string message = *system_->startFailure;
            system_->startFailure.reset();
            throw AudioEngineError(message);
        }
        if (!system_->effective(*state_)) throw AudioEngineError("The audio input device is not available.");
        state_->running = state_->active = true;
    }
    void pause() override {
        std::lock_guard lock(system_->mutex);
        state_->running = false;
    }
    void stop() override {
        std::lock_guard lock(system_->mutex);
        state_->running = state_->active = false;
    }
    bool isRunning() const override {
        std::lock_guard lock(system_->mutex);
        return state_->running;
    }
    bool setInputDevice(std::uint32_t deviceID) override {
        std::lock_guard lock(system_->mutex);
        if (!system_->find(deviceID)) return false;
        state_->explicitDevice = deviceID;
        return true;
    }
    void setConfigurationChangeHandler(std::function<void()> handler) override {
        std::lock_guard lock(system_->mutex);
        state_->configHandler = std::move(handler);
    }

private:
    AudioFormat format() {
        std::lock_guard lock(system_->mutex);
        return formatLocked();
    }
    AudioFormat formatLocked() {
        auto id = system_->effective(*state_);
        const TestDevice* d = id ? system_->find(*id) : nullptr;
        return d ? d->format : AudioFormat{};
    }

    std::shared_ptr<TestAudioSystem::State> system_;
    std::shared_ptr<EngineState> state_;
};

// Runs `change` under the lock, then stops every active engine whose input it changed and calls
// their handlers without the lock held.
template <typename Change>
void changeDevices(TestAudioSystem::State& s, Change change) {
    std::vector<std::function<void()>> handlers;
    {
        std::lock_guard lock(s.mutex);
        auto engines = s.liveEngines();
        std::vector<std::optional<std::uint32_t>> before;
        for (auto& e : engines) before.push_back(s.effective(*e));
        change();
        for (std::size_t i = 0; i < engines.size(); ++i) {
            auto& e = *engines[i];
            if (!e.active || s.effective(e) == before[i]) continue;
            e.running = e.active = false;
            if (e.configHandler) handlers.push_back(e.configHandler);
        }
    }
    for (auto& h : handlers) h();
}

}  // namespace

TestAudioSystem::TestAudioSystem() : state_(std::make_shared<State>()) {}
TestAudioSystem::~TestAudioSystem() = default;

std::uint32_t TestAudioSystem::addDevice(const std::string& name, AudioFormat format, bool makeDefault) {
    std::uint32_t id = 0;
    changeDevices(*state_, [&] {
        id = state_->nextId++;
        state_->devices.push_back({{id, name}, format});
        if (makeDefault || !state_->defaultId) state_->defaultId = id;
    });
    return id;
}

void TestAudioSystem::removeDevice(std::uint32_t id) {
    changeDevices(*state_, [&] {
        std::erase_if(state_->devices, [&](const TestDevice& d) { return d.device.id == id; });
        if (state_->defaultId == id)
            state_->defaultId = state_->devices.empty() ? std::nullopt : std::optional(state_->devices.front().device.id);
    });
}

void TestAudioSystem::setDefaultDevice(std::optional<std::uint32_t> id) {
    changeDevices(*state_, [&] { state_->defaultId = (id && state_->find(*id)) ? id : std::nullopt; });
}

void TestAudioSystem::failNextStart(const std::string& message) {
    std::lock_guard lock(state_->mutex);
    state_->startFailure = message;
}

void TestAudioSystem::setPermission(bool granted) {
    std::lock_guard lock(state_->mutex);
    state_->permission = granted;
}

int TestAudioSystem::permissionRequests() const {
    std::lock_guard lock(state_->mutex);
    return state_->permissionRequests;
}

std::size_t TestAudioSystem::play(const std::vector<float>& interleaved, std::optional<std::uint32_t> device) {
    std::vector<std::shared_ptr<EngineState>> targets;
    AudioFormat deviceFormat;
    std::uint32_t id = 0;
    {
        std::lock_guard lock(state_->mutex);
        auto chosen = device ? device : state_->defaultId;
        const TestDevice* d = chosen ? state_->find(*chosen) : nullptr;
        if (!d) return 0;
        id = d->device.id;
        deviceFormat = d->format;
        for (auto& e : state_->liveEngines())
            if (e->running && e->hasTap && state_->effective(*e) == id) targets.push_back(e);
    }
    std::size_t frames = interleaved.size() / deviceFormat.channels;
    std::size_t delivered = 0;
    for (auto& e : targets) {
        std::size_t pos = 0;
        while (pos < frames) {
            std::lock_guard delivery(e->deliveryMutex);
            TapCallback tap;
            AudioFormat fmt;
            std::uint32_t size = 0;
            {
                std::lock_guard lock(state_->mutex);
                if (!e->running || !e->hasTap || state_->effective(*e) != id) break;
                tap = e->tap;
                fmt = e->tapFormat;
                size = e->bufferSize;
            }
            std::size_t n = std::min<std::size_t>(size, frames - pos);
            std::vector<float> chunk(interleaved.begin() + static_cast<std::ptrdiff_t>(pos * fmt.channels),
                                     interleaved.begin() + static_cast<std::ptrdiff_t>((pos + n) * fmt.channels));
            tap(AudioBuffer::fromInterleaved(fmt, chunk));
            pos += n;
        }
        delivered = std::max(delivered, pos);
    }
    return delivered;
}

std::size_t TestAudioSystem::playTone(double seconds, float amplitude, double frequency,
                                      std::optional<std::uint32_t> device) {
    AudioFormat format;
    {
        std::lock_guard lock(state_->mutex);
        auto chosen = device ? device : state_->defaultId;
        const TestDevice* d = chosen ? state_->find(*chosen) : nullptr;
        if (!d) return 0;
        format = d->format;
    }
    auto frames = static_cast<std::size_t>(std::llround(seconds * format.sampleRate));
    std::vector<float> samples(frames * format.channels);
    for (std::size_t i = 0; i < frames; ++i) {
        float v = amplitude * static_cast<float>(std::sin(2 * M_PI * frequency * static_cast<double>(i) / format.sampleRate));
        for (std::uint32_t c = 0; c < format.channels; ++c) samples[i * format.channels + c] = v;
    }
    return play(samples, device);
}

std::size_t TestAudioSystem::playFile(const std::string& path, std::optional<std::uint32_t> device) {
    AudioFileData data = readAudioFile(path);
    {
        std::lock_guard lock(state_->mutex);
        auto chosen = device ? device : state_->defaultId;
        const TestDevice* d = chosen ? state_->find(*chosen) : nullptr;
        if (!d) return 0;
        if (d->format.sampleRate != data.sampleRate || d->format.channels != data.channels)
            throw std::invalid_argument("audio file " + path + " does not match the device format " + d->format.description());
    }
    return play(data.interleaved, device);
}

int TestAudioSystem::runningEngines() const {
    std::lock_guard lock(state_->mutex);
    int n = 0;
    for (auto& w : state_->engines)
        if (auto e = w.lock(); e && e->running) ++n;
    return n;
}

std::vector<AudioDevice> TestAudioSystem::inputDevices() {
    std::lock_guard lock(state_->mutex);
    std::vector<AudioDevice> out;
    for (auto& d : state_->devices)
        if (d.format.channels > 0) out.push_back(d.device);
    return out;
}

std::optional<AudioDevice> TestAudioSystem::defaultInputDevice() {
    std::lock_guard lock(state_->mutex);
    const TestDevice* d = state_->defaultId ? state_->find(*state_->defaultId) : nullptr;
    return d ? std::optional(d->device) : std::nullopt;
}

std::unique_ptr<AudioEngine> TestAudioSystem::makeEngine() {
    auto engineState = std::make_shared<EngineState>();
    {
        std::lock_guard lock(state_->mutex);
        state_->engines.push_back(engineState);
    }
    return std::make_unique<TestEngine>(state_, engineState);
}

bool TestAudioSystem::requestRecordPermission() {
    std::lock_guard lock(state_->mutex);
    ++state_->permissionRequests;
    return state_->permission;
}

}  // namespace audioinput
