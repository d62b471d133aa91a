#include "AudioInput/PulseAudioSystem.hpp"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace audioinput {

namespace {

struct SourceInfo {
    std::uint32_t index = PA_INVALID_INDEX;
    std::string name;
    std::string description;
    double rate = 0;
    std::uint32_t channels = 0;
    bool monitor = false;
};

class PulseAudioEngine;

}  // namespace

struct PulseAudioSystem::Core {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    std::vector<PulseAudioEngine*> engines;  // guarded by the main-loop lock
    std::string defaultSource;               // guarded by the main-loop lock

    // Notifier thread for configuration-change handlers.
    std::mutex noticeMutex;
    std::condition_variable noticeChanged;
    std::deque<std::function<void()>> notices;
    bool closing = false;
    std::thread notifier;

    struct Lock {
        pa_threaded_mainloop* loop;
        explicit Lock(pa_threaded_mainloop* l) : loop(l) { pa_threaded_mainloop_lock(loop); }
        ~Lock() { pa_threaded_mainloop_unlock(loop); }
    };

    void post(std::function<void()> notice) {
        std::lock_guard lock(noticeMutex);
        notices.push_back(std::move(notice));
        noticeChanged.notify_one();
    }

    // Waits (main-loop lock held) until the operation is done.
    void wait(pa_operation* op) {
        if (!op) return;
        while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop);
        pa_operation_unref(op);
    }

    std::vector<SourceInfo> sources() {
        std::vector<SourceInfo> list;
        struct Ctx { Core* core; std::vector<SourceInfo>* list; } ctx{this, &list};
        wait(pa_context_get_source_info_list(
            context,
            [](pa_context*, const pa_source_info* info, int eol, void* data) {
                auto* c = static_cast<Ctx*>(data);
                if (eol == 0 && info)
                    c->list->push_back({info->index, info->name ? info->name : "", info->description ? info->description : "",
                                        static_cast<double>(info->sample_spec.rate), info->sample_spec.channels,
                                        info->monitor_of_sink != PA_INVALID_INDEX});
                pa_threaded_mainloop_signal(c->core->loop, 0);
            },
            &ctx));
        return list;
    }

    std::string serverDefaultSource() {
        struct Ctx { Core* core; std::string name; } ctx{this, {}};
        wait(pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* data) {
                auto* c = static_cast<Ctx*>(data);
                if (info && info->default_source_name) c->name = info->default_source_name;
                pa_threaded_mainloop_signal(c->core->loop, 0);
            },
            &ctx));
        return ctx.name;
    }

    std::optional<SourceInfo> sourceFor(std::optional<std::uint32_t> device) {
        const std::string fallback = device ? std::string() : serverDefaultSource();
        for (auto& s : sources())
            if (device ? s.index == *device : s.name == fallback) return s;
        return std::nullopt;
    }

    void onEvent(pa_subscription_event_type_t type, std::uint32_t index);

    ~Core() {
        {
            std::lock_guard lock(noticeMutex);
            closing = true;
            noticeChanged.notify_one();
        }
        if (notifier.joinable()) {
            if (notifier.get_id() == std::this_thread::get_id())
                notifier.detach();
            else
                notifier.join();
        }
        if (!loop) return;
        pa_threaded_mainloop_lock(loop);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_threaded_mainloop_unlock(loop);
        pa_threaded_mainloop_stop(loop);
        pa_context_unref(context);
        pa_threaded_mainloop_free(loop);
    }
};

namespace {

class PulseAudioEngine : public AudioEngine {
public:
    explicit PulseAudioEngine(std::shared_ptr<PulseAudioSystem::Core> core) : core_(std::move(core)) {
        PulseAudioSystem::Core::Lock lock(core_->loop);
        core_->engines.push_back(this);
    }
    ~PulseAudioEngine() override {
        PulseAudioSystem::Core::Lock lock(core_->loop);
        closeStream();
        std::erase(core_->engines, this);
    }

    AudioFormat inputFormat() override {
        PulseAudioSystem::Core::Lock lock(core_->loop);
        auto source = core_->sourceFor(device_);
        if (!source) return {};
        return {source->rate, source->channels, SampleType::float32, true};
    }
    AudioFormat outputFormat() override { return inputFormat(); }

    void installTap(std::uint32_t bufferSize, const AudioFormat& format, TapCallback callback) override {
        AudioFormat own = outputFormat();
        PulseAudioSystem::Core::Lock lock(core_->loop);
        if (tap_) throw AudioEngineError("A tap is already installed on this input");
        if (format.sampleRate != own.sampleRate || format.channels != own.channels)
            throw AudioEngineError("The tap format " + format.description() + " differs from the input's " + own.description());
        tap_ = std::move(callback);
        tapFormat_ = format;
        bufferSize_ = std::max<std::uint32_t>(bufferSize, 1);
    }
    void removeTap() override {
        PulseAudioSystem::Core::Lock lock(core_->loop);
        tap_ = nullptr;
    }

    void start() override {
        PulseAudioSystem::Core::Lock lock(core_->loop);
        if (stream_) {
            paused_ = false;
            core_->wait(pa_stream_cork(stream_, 0, signalDone, core_->loop));
            return;
        }
        auto source = core_->sourceFor(device_);
        if (!source) throw AudioEngineError("No audio input device is available");
        pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, static_cast<std::uint32_t>(source->rate), static_cast<std::uint8_t>(source->channels)};
        stream_ = pa_stream_new(core_->context, "Talkweft capture", &sampleFormat, nullptr);
        if (!stream_) throw AudioEngineError(std::string("Cannot open the audio input: ") + pa_strerror(pa_context_errno(core_->context)));
        frameBytes_ = pa_frame_size(&sampleFormat);
        pa_stream_set_state_callback(stream_, signalState, core_->loop);
        pa_stream_set_read_callback(stream_, readCallback, this);
        pa_buffer_attr attr;
        std::memset(&attr, 0xff, sizeof attr);
        attr.fragsize = static_cast<std::uint32_t>(bufferSize_ ? bufferSize_ * frameBytes_ : 1600 * frameBytes_);
        const std::string name = source->name;
        if (pa_stream_connect_record(stream_, name.c_str(), &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
            std::string reason = pa_strerror(pa_context_errno(core_->context));
            closeStream();
            throw AudioEngineError("Cannot open the audio input: " + reason);
        }
        for (;;) {
            auto state = pa_stream_get_state(stream_);
            if (state == PA_STREAM_READY) break;
            if (!PA_STREAM_IS_GOOD(state)) {
                std::string reason = pa_strerror(pa_context_errno(core_->context));
                closeStream();
                throw AudioEngineError("Cannot open the audio input: " + reason);
            }
            pa_threaded_mainloop_wait(core_->loop);
        }
        sourceIndex_ = pa_stream_get_device_index(stream_);
        followsDefault_ = !device_;
        paused_ = false;
    }
    void pause() override {
        PulseAudioSystem::Core::Lock lock(core_->loop);
        if (!stream_) return;
        paused_ = true;
        core_->wait(pa_stream_cork(stream_, 1, signalDone, core_->loop));
    }
    void stop() override {
        PulseAudioSystem::Core::Lock lock(core_->loop);
        closeStream();
    }
    bool isRunning() const override {
        PulseAudioSystem::Core::Lock lock(core_->loop);
        return stream_ && !paused_;
    }

    bool setInputDevice(std::uint32_t deviceID) override {
        PulseAudioSystem::Core::Lock lock(core_->loop);
        for (auto& s : core_->sources())
            if (s.index == deviceID && !s.monitor) {
                device_ = deviceID;
                return true;
            }
        return false;
    }

    void setConfigurationChangeHandler(std::function<void()> handler) override {
        PulseAudioSystem::Core::Lock lock(core_->loop);
        handler_ = std::move(handler);
    }

    // Main-loop thread: the input this engine records changed.
    void inputChanged() {
        if (!stream_) return;
        closeStream();
        if (handler_) core_->post(handler_);
    }
    bool records(std::uint32_t index) const { return stream_ && sourceIndex_ == index; }
    bool followsDefault() const { return stream_ && followsDefault_; }

private:
    static void signalDone(pa_stream*, int, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); }
    static void signalState(pa_stream*, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); }

    static void readCallback(pa_stream* stream, size_t, void* data) {
        auto* self = static_cast<PulseAudioEngine*>(data);
        const void* bytes = nullptr;
        size_t size = 0;
        while (pa_stream_readable_size(stream) > 0) {
            if (pa_stream_peek(stream, &bytes, &size) < 0 || size == 0) break;
            // A hole (no data) is skipped: nothing was captured for it.
            if (bytes && self->tap_ && !self->paused_) self->deliver(static_cast<const float*>(bytes), size);
            pa_stream_drop(stream);
        }
    }

    void deliver(const float* samples, size_t size) {
        const std::size_t frames = size / frameBytes_;
        if (frames == 0) return;
        AudioFormat format{tapFormat_.sampleRate, tapFormat_.channels, SampleType::float32, true};
        std::vector<float> interleaved(samples, samples + frames * tapFormat_.channels);
        AudioBuffer packed = AudioBuffer::fromInterleaved(format, interleaved);
        if (format == tapFormat_) {
            tap_(packed);
            return;
        }
        AudioBuffer buffer(tapFormat_, static_cast<std::uint32_t>(frames));
        for (std::uint32_t f = 0; f < frames; ++f)
            for (std::uint32_t c = 0; c < tapFormat_.channels; ++c) buffer.setSample(f, c, packed.sample(f, c));
        tap_(buffer);
    }

    void closeStream() {
        if (!stream_) return;
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
        paused_ = false;
    }

    std::shared_ptr<PulseAudioSystem::Core> core_;
    std::optional<std::uint32_t> device_;
    pa_stream* stream_ = nullptr;
    std::size_t frameBytes_ = 4;
    std::uint32_t sourceIndex_ = PA_INVALID_INDEX;
    bool followsDefault_ = false;
    bool paused_ = false;
    TapCallback tap_;
    AudioFormat tapFormat_;
    std::uint32_t bufferSize_ = 1600;
    std::function<void()> handler_;
};

}  // namespace

void PulseAudioSystem::Core::onEvent(pa_subscription_event_type_t type, std::uint32_t index) {
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SOURCE && kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
        for (auto* engine : std::vector<PulseAudioEngine*>(engines))
            if (engine->records(index)) engine->inputChanged();
    } else if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        // The callback cannot wait on the loop it runs on: ask, and compare in the answer.
        pa_operation* op = pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* data) {
                auto* core = static_cast<Core*>(data);
                if (!info) return;
                std::string now = info->default_source_name ? info->default_source_name : "";
                if (now == core->defaultSource) return;
                core->defaultSource = now;
                for (auto* engine : std::vector<PulseAudioEngine*>(core->engines))
                    if (engine->followsDefault()) engine->inputChanged();
            },
            this);
        if (op) pa_operation_unref(op);
    }
}

PulseAudioSystem::PulseAudioSystem(std::optional<std::string> server) : core_(std::make_shared<Core>()) {
    Core& core = *core_;
    core.loop = pa_threaded_mainloop_new();
    if (!core.loop) throw AudioEngineError("Cannot connect to the sound server: no main loop");
    core.context = pa_context_new(pa_threaded_mainloop_get_api(core.loop), "Talkweft");
    pa_context_set_state_callback(core.context, [](pa_context*, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); }, core.loop);
    auto fail = [&](const std::string& reason) {
        pa_context_disconnect(core.context);
        pa_threaded_mainloop_unlock(core.loop);
        pa_threaded_mainloop_stop(core.loop);
        pa_context_unref(core.context);
        pa_threaded_mainloop_free(core.loop);
        core.context = nullptr;
        core.loop = nullptr;
        throw AudioEngineError("Cannot connect to the sound server: " + reason);
    };
    pa_threaded_mainloop_lock(core.loop);
    if (pa_threaded_mainloop_start(core.loop) < 0) fail("no main loop thread");
    if (pa_context_connect(core.context, server ? server->c_str() : nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        fail(pa_strerror(pa_context_errno(core.context)));
    for (;;) {
        auto state = pa_context_get_state(core.context);
        if (state == PA_CONTEXT_READY) break;
        if (!PA_CONTEXT_IS_GOOD(state)) fail(pa_strerror(pa_context_errno(core.context)));
        pa_threaded_mainloop_wait(core.loop);
    }
    core.defaultSource = core.serverDefaultSource();
    pa_context_set_subscribe_callback(
        core.context,
        [](pa_context*, pa_subscription_event_type_t type, std::uint32_t index, void* data) {
            static_cast<Core*>(data)->onEvent(type, index);
        },
        &core);
    core.wait(pa_context_subscribe(core.context, static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER),
                                   [](pa_context*, int, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); },
                                   core.loop));
    pa_threaded_mainloop_unlock(core.loop);

    core.notifier = std::thread([&core] {
        std::unique_lock lock(core.noticeMutex);
        for (;;) {
            core.noticeChanged.wait(lock, [&] { return core.closing || !core.notices.empty(); });
            if (core.notices.empty()) return;
            auto notice = std::move(core.notices.front());
            core.notices.pop_front();
            lock.unlock();
            notice();
            lock.lock();
        }
    });
}

// Engines still alive hold the core; the connection ends with the last of them.
PulseAudioSystem::~PulseAudioSystem() = default;

std::vector<AudioDevice> PulseAudioSystem::inputDevices() {
    Core::Lock lock(core_->loop);
    std::vector<AudioDevice> devices;
    for (auto& s : core_->sources())
        if (!s.monitor && s.channels >= 1) devices.push_back({s.index, s.description.empty() ? s.name : s.description});
    return devices;
}

std::optional<AudioDevice> PulseAudioSystem::defaultInputDevice() {
    Core::Lock lock(core_->loop);
    auto source = core_->sourceFor(std::nullopt);
    if (!source) return std::nullopt;
    return AudioDevice{source->index, source->description.empty() ? source->name : source->description};
}

std::unique_ptr<AudioEngine> PulseAudioSystem::makeEngine() { return std::make_unique<PulseAudioEngine>(core_); }

bool PulseAudioSystem::requestRecordPermission() {
    Core::Lock lock(core_->loop);
    return pa_context_get_state(core_->context) == PA_CONTEXT_READY;
}

std::shared_ptr<AudioSystem> makePulseAudioSystem() { return std::make_shared<PulseAudioSystem>(); }

}  // namespace audioinput
