#include "Platform/Linux/CanberraSound.hpp"

#include <canberra.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>

namespace talkweft::platform::linuxdesktop {

namespace fs = std::filesystem;

namespace canberrasound {

// The application's sound names and the theme sounds that fit them best: a rising tone when a
// dictation starts, a short chime for agent mode, the falling counterpart when a recording is
// released, the error sound when the microphone fails, and the tiny volume tick as the fallback.
struct NamedCue {
    std::string_view name;
    std::string_view eventID;
};
constexpr NamedCue CUE_EVENTS[] = {
    {"begin_record", "device-added"}, {"Pop", "message"},           {"Bottle", "device-removed"},
    {"Basso", "dialog-error"},        {"Tink", "audio-volume-change"},
};

// libcanberra's quietest volume, well below hearing.
constexpr double MIN_DECIBELS = -120.0;

// The first bytes of the formats libcanberra reads.
bool isPlayableFile(const std::string& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return false;
    std::ifstream in(path, std::ios::binary);
    char magic[4] = {};
    if (!in.read(magic, 4)) return false;
    const std::string_view head(magic, 4);
    return head == "OggS" || head == "RIFF";
}

}  // namespace canberrasound

std::string_view calcSoundEventID(std::string_view name) {
    for (const auto& cue : canberrasound::CUE_EVENTS)
        if (cue.name == name) return cue.eventID;
    return name;
}

std::vector<fs::path> calcSoundThemeDirs(const EnvLookup& env, const fs::path& home, std::string_view theme) {
    const fs::path tail = fs::path("sounds") / std::string(theme) / "stereo";
    std::vector<fs::path> dirs = calcXdgDataDirs(env, home);
    for (auto& dir : dirs) dir /= tail;
    return dirs;
}

std::optional<fs::path> findThemeSound(const std::vector<fs::path>& dirs, std::string_view eventID) {
    // An id is one file name; anything that could leave the folder is no id.
    if (eventID.empty() || eventID.find('/') != std::string_view::npos || eventID.front() == '.') return std::nullopt;
    for (const auto& dir : dirs) {
        for (const char* ending : {".oga", ".ogg", ".wav"}) {
            fs::path file = dir / (std::string(eventID) + ending);
            std::error_code ec;
            if (fs::is_regular_file(file, ec)) return file;
        }
    }
    return std::nullopt;
}

double calcCanberraDecibels(float volume) {
    if (!(volume > 0.0f)) return canberrasound::MIN_DECIBELS;
    return std::max(canberrasound::MIN_DECIBELS, 20.0 * std::log10(std::min(1.0, static_cast<double>(volume))));
}

// The worker thread and its queue. Shared with every sound and with the thread itself, so a worker
// left behind in a hung call still has its state.
struct CanberraSoundPlayer::Worker {
    struct Request {
        bool play = false;  // else: cancel
        std::uint32_t id = 0;
        std::string key;    // CA_PROP_EVENT_ID or CA_PROP_MEDIA_FILENAME
        std::string value;
        double decibels = 0;
    };

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Request> queue;
    std::uint64_t queued = 0, handled = 0;
    bool quit = false, finished = false;
    std::atomic<std::uint32_t> nextID{1};

    ca_context* context = nullptr;  // worker thread only

    void post(Request request) {
        std::lock_guard lock(mutex);
        queue.push_back(std::move(request));
        ++queued;
        changed.notify_all();
    }

    // Opens the sound server on first use, and again after a failure (a server may have started since).
    bool open() {
        if (context) return true;
        if (ca_context_create(&context) != CA_SUCCESS) {
            context = nullptr;
            return false;
        }
        ca_context_change_props(context, CA_PROP_APPLICATION_NAME, "Talkweft", CA_PROP_APPLICATION_ID, "talkweft",
                                CA_PROP_MEDIA_ROLE, "event", nullptr);
        if (ca_context_open(context) != CA_SUCCESS) {
            close();
            return false;
        }
        return true;
    }
    void close() {
        if (context) ca_context_destroy(context);
        context = nullptr;
    }

    void handle(const Request& r) {
        if (!r.play) {
            if (context) ca_context_cancel(context, r.id);
            return;
        }
        if (!open()) return;
        ca_proplist* props = nullptr;
        if (ca_proplist_create(&props) != CA_SUCCESS) return;
        // Written without the locale (a user's locale may use a decimal comma).
        char decibels[32];
        const auto written = std::to_chars(decibels, decibels + sizeof decibels - 1, r.decibels, std::chars_format::fixed, 2);
        *written.ptr = '\0';
        ca_proplist_sets(props, r.key.c_str(), r.value.c_str());
        ca_proplist_sets(props, CA_PROP_CANBERRA_VOLUME, decibels);
        ca_proplist_sets(props, CA_PROP_CANBERRA_CACHE_CONTROL, "never");
        const int result = ca_context_play_full(context, r.id, props, nullptr, nullptr);
        ca_proplist_destroy(props);
        // A lost server: start over with a new connection at the next play.
        if (result == CA_ERROR_DISCONNECTED || result == CA_ERROR_STATE || result == CA_ERROR_NODRIVER) close();
    }

    void run() {
        std::unique_lock lock(mutex);
        while (true) {
            changed.wait(lock, [&] { return quit || !queue.empty(); });
            if (quit) break;
            Request r = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            handle(r);
            lock.lock();
            ++handled;
            changed.notify_all();
        }
        lock.unlock();
        close();
        lock.lock();
        finished = true;
        changed.notify_all();
    }
};

namespace canberrasound {

class CanberraSound : public platform::Sound {
public:
    CanberraSound(std::shared_ptr<CanberraSoundPlayer::Worker> worker, std::string key, std::string value)
        : worker_(std::move(worker)), id_(worker_->nextID++), key_(std::move(key)), value_(std::move(value)) {}

    void setVolume(float volume) override { decibels_ = calcCanberraDecibels(volume); }
    void stop() override { worker_->post({false, id_, {}, {}, 0}); }
    void play() override { worker_->post({true, id_, key_, value_, decibels_}); }

private:
    std::shared_ptr<CanberraSoundPlayer::Worker> worker_;
    std::uint32_t id_;
    std::string key_, value_;
    double decibels_ = 0;
};

}  // namespace canberrasound

CanberraSoundPlayer::CanberraSoundPlayer(std::optional<std::vector<fs::path>> dirs)
    : dirs_(dirs ? std::move(*dirs) : calcSoundThemeDirs(processEnvironment, processHome())),
      worker_(std::make_shared<Worker>()) {
    std::thread([w = worker_] { w->run(); }).detach();
}

CanberraSoundPlayer::~CanberraSoundPlayer() {
    std::unique_lock lock(worker_->mutex);
    worker_->quit = true;
    worker_->changed.notify_all();
    // The worker is detached: waiting for its `finished` is the join, bounded.
    worker_->changed.wait_for(lock, SHUTDOWN_WAIT, [&] { return worker_->finished; });
}

std::shared_ptr<platform::Sound> CanberraSoundPlayer::named(const std::string& name) {
    const std::string_view eventID = calcSoundEventID(name);
    if (!findThemeSound(dirs_, eventID)) return nullptr;
    return std::make_shared<canberrasound::CanberraSound>(worker_, CA_PROP_EVENT_ID, std::string(eventID));
}

std::shared_ptr<platform::Sound> CanberraSoundPlayer::file(const std::string& path) {
    if (!canberrasound::isPlayableFile(path)) return nullptr;
    return std::make_shared<canberrasound::CanberraSound>(worker_, CA_PROP_MEDIA_FILENAME, path);
}

bool CanberraSoundPlayer::drain(std::chrono::milliseconds limit) {
    std::unique_lock lock(worker_->mutex);
    const std::uint64_t target = worker_->queued;
    return worker_->changed.wait_for(lock, limit, [&] { return worker_->handled >= target; });
}

}  // namespace talkweft::platform::linuxdesktop
