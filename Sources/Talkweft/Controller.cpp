#include "Talkweft/Controller.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <typeinfo>

#include "AudioInput/TestAudioSystem.hpp"
#include "DaroriCore/NumberText.hpp"
#include "Platform/Accessibility.hpp"
#include "Platform/Platform.hpp"
#include "Talkweft/Log.hpp"
#include "Talkweft/Paths.hpp"
#include "Talkweft/Sounds.hpp"
#include "TalkweftCore/TextOps.hpp"
#include "Unicode/Unicode.hpp"

namespace talkweft {

namespace {

std::string format(int decimals, double value) { return darori::fixedText(value, decimals); }

double secondsBetween(platform::TimePoint a, platform::TimePoint b) {
    return std::chrono::duration<double>(b - a).count();
}

Cue startCue(Mode m) { return m == Mode::agent ? Cue::agentStart : Cue::dictateStart; }

}  // namespace

Controller::Controller(SettingsStore& s, std::shared_ptr<Transcriber> transcriber)
    : settings(s),
      store(Paths::history()),
      writer(std::make_unique<PasteWriter>()),
      hotkeys(ChordTracker(s.value().dictateChord, s.value().agentChord)),
      loop_(*platform::current().loop),
      noAudio_(platform::current().audio ? nullptr : std::make_unique<audioinput::TestAudioSystem>()),
      recorder_(platform::current().audio ? *platform::current().audio : *noAudio_, loop_),
      transcriber_(transcriber ? std::move(transcriber)
                               : std::make_shared<WhisperTranscriber>(s.value().whisperModel, Paths::models().string())),
      jobs_(loop_) {
    watchDownload(transcriber_);
    std::weak_ptr<bool> alive = alive_;
    hotkeys.onChord = [this, alive](const ChordEvent& ev) { if (alive.lock()) handle(ev); };
    hotkeys.onKeyWhileHeld = [this, alive] { if (alive.lock()) abortRecording(); };
    hotkeys.onEscape = [this, alive] { if (alive.lock()) cancel(); };
    recorder_.onInterrupted = [this, alive] {
        if (!alive.lock() || !mode_) return;
        Log::write("recorder: stopping after lost input");
        hotkeys.tracker.reset();
        finish();
    };
    if (auto* ws = platform::current().workspace)
        sleepObserver_ = ws->addSleepObserver([this, alive] { if (alive.lock()) abortRecording(); });
    bool first = true;
    subscription_ = settings.subscribe([this, alive, first](const Settings& value) mutable {
        if (first) {
            first = false;  // the value current at subscription time
            return;
        }
        if (alive.lock()) apply(value);
    });
}

Controller::~Controller() {
    alive_.reset();
    settings.unsubscribe(subscription_);
    if (platform::hasCurrent())
        if (auto* ws = platform::current().workspace; ws && sleepObserver_) ws->removeObserver(sleepObserver_);
    stopWatchdog();
    if (work_) work_->stop.request_stop();
    preparation_.request_stop();
    recorder_.stop();
}

void Controller::apply(const Settings& s) {
    hotkeys.tracker.dictate = s.dictateChord;
    hotkeys.tracker.agent = s.agentChord;
    // A chord held while the settings change keeps its mode, so its release still ends the recording.
    if (!mode_) hotkeys.tracker.reset();
    auto* whisper = dynamic_cast<WhisperTranscriber*>(transcriber_.get());
    if (!whisper || typeid(*whisper) != typeid(WhisperTranscriber)) return;
    if (whisper->model() == s.whisperModel) return;
    // The replaced transcriber's preparation (a download perhaps) is of no use any more.
    stopPreparation();
    transcriber_ = whisper->withModel(s.whisperModel);
    watchDownload(transcriber_);
    prepareTranscriber();
}

void Controller::watchDownload(const std::shared_ptr<Transcriber>& transcriber) {
    std::weak_ptr<bool> alive = alive_;
    std::weak_ptr<Transcriber> watched = transcriber;
    auto shown = std::make_shared<std::atomic<int>>(-1);
    transcriber->setDownloadProgressHandler([this, alive, watched, shown](double fraction) {
        // Whole percents only: the status line changes at most a hundred times per download.
        const int percent = std::clamp(static_cast<int>(fraction * 100.0 + 1e-6), 0, 100);
        if (shown->exchange(percent) == percent) return;
        loop_.post([this, alive, watched, percent] {
            if (!alive.lock() || watched.lock() != transcriber_) return;
            onStatus(percent < 100 ? "Downloading speech model… " + std::to_string(percent) + "%" : "Loading speech model…");
        });
    });
}

void Controller::prepareTranscriber() {
    onStatus("Loading speech model…");
    auto transcriber = transcriber_;
    auto error = std::make_shared<std::string>();
    auto failed = std::make_shared<bool>(false);
    auto status = std::make_shared<std::string>("Speech model failed to load");
    std::weak_ptr<bool> alive = alive_;
    jobs_.run(
        preparation_.get_token(),
        [transcriber, error, failed, status] {
            try {
                transcriber->prepare();
            } catch (const SpeechModelUnavailable& e) {
                // The status line says what to do; the log keeps the whole reason.
                *failed = true;
                *error = e.reason();
                *status = e.what();
            } catch (const std::exception& e) {
                *failed = true;
                *error = e.what();
            }
        },
        [this, alive, transcriber, error, failed, status] {
            if (!alive.lock()) return;
            if (*failed) Log::write("whisper: prepare failed: " + *error);
            // A transcriber replaced meanwhile (the model setting changed) no longer sets the status:
            // its late outcome would hide that of the current one.
            if (transcriber != transcriber_) return;
            onStatus(*failed ? *status : "Ready");
        });
}

void Controller::stopPreparation() {
    preparation_.request_stop();
    preparation_ = std::stop_source();
}

bool Controller::scoped() const {
    return capture_ && capture_->ctx.selectedText && !capture_->ctx.selectedText->empty();
}

void Controller::handle(const ChordEvent& ev) {
    switch (ev.kind) {
        case ChordEvent::Kind::start:
            begin(ev.mode);
            return;
        case ChordEvent::Kind::upgrade:
            if (!mode_) return;
            mode_ = ev.mode;
            Sounds::play(startCue(ev.mode), settings.value().soundCues);
            hud.show(HUDState::listening(ev.mode, scoped()));
            startScreenshot();
            return;
        case ChordEvent::Kind::stop:
            if (!mode_) return;
            mode_ = ev.mode;
            finish();
            return;
    }
}

void Controller::begin(Mode m) {
    if (work_) {
        hud.show(HUDState::note("Still working · Esc cancels"));
        hotkeys.tracker.reset();
        return;
    }
    auto* ax = platform::current().accessibility;
    if (!ax || !ax->isProcessTrusted(false)) {
        hud.show(HUDState::error("Talkweft needs the accessibility bus. Turn on assistive technologies in the "
                                 "desktop's accessibility settings, then log in again."));
        hotkeys.tracker.reset();
        return;
    }
    capture_ = ContextReader::capture();
    if (capture_ && settings.value().isDisabled(capture_->ctx.bundleID)) {
        hud.show(HUDState::note("Talkweft is off in " + capture_->ctx.appName));
        capture_.reset();
        hotkeys.tracker.reset();
        return;
    }
    mode_ = m;
    startedAt_ = loop_.now();
    screenshot_.reset();
    try {
        recorder_.start();
    } catch (const std::exception& e) {
        Log::write(std::string("recorder: ") + e.what());
        Sounds::play(Cue::failure, settings.value().soundCues);
        hud.show(HUDState::error(std::string("Couldn't start the microphone: ") + e.what()));
        mode_.reset();
        hotkeys.tracker.reset();
        return;
    }
    Sounds::play(startCue(m), settings.value().soundCues);
    startWatchdog();
    std::optional<platform::Rect> anchor;
    if (capture_) anchor = capture_->caret;
    hud.show(HUDState::listening(m, scoped()), anchor);
    if (m == Mode::agent) startScreenshot();
}

void Controller::startScreenshot() {
    if (!settings.value().captureScreenshot || screenshot_ || !capture_) return;
    auto shot = std::make_shared<Screenshot>();
    screenshot_ = shot;
    std::int32_t pid = capture_->ctx.pid;
    jobs_.run(
        std::stop_token{}, [shot, pid] { shot->path = ContextReader::calcScreenshot(pid, Paths::screenshots()); },
        [shot] {
            shot->done = true;
            auto waiters = std::move(shot->waiters);
            for (auto& w : waiters) w();
        });
}

void Controller::startWatchdog() {
    stopWatchdog();
    std::weak_ptr<bool> alive = alive_;
    watchdog_ = loop_.addRepeatingTimer(platform::seconds(0.5), [this, alive] {
        if (alive.lock()) checkRecording();
    });
}

void Controller::stopWatchdog() {
    if (watchdog_) loop_.cancelTimer(watchdog_);
    watchdog_ = 0;
}

void Controller::checkRecording() {
    if (!mode_) {
        stopWatchdog();
        return;
    }
    if (secondsBetween(startedAt_, loop_.now()) > settings.value().maxRecordingSeconds) {
        Log::write("recorder: hit max length");
        hotkeys.tracker.reset();
        finish();
        return;
    }
    hotkeys.poll();
}

void Controller::abortRecording() {
    stopWatchdog();
    if (!mode_) return;
    recorder_.stop();
    mode_.reset();
    capture_.reset();
    hud.hide(0);
}

void Controller::cancel() {
    if (mode_) {
        abortRecording();
        hotkeys.tracker.reset();
        return;
    }
    if (work_) {
        work_->stop.request_stop();
        work_.reset();
        hud.show(HUDState::note("Cancelled"));
        return;
    }
    auto kind = hud.state().kind;
    if (kind == HUDState::Kind::reply || kind == HUDState::Kind::error) hud.hide(0);
}

void Controller::finish() {
    if (!mode_) return;
    if (!capture_) {
        // Nothing to type into (no app was in front): end the recording cleanly all the same.
        abortRecording();
        return;
    }
    Mode mode = *mode_;
    mode_.reset();
    stopWatchdog();
    std::vector<float> samples = recorder_.stop();
    Sounds::play(Cue::release, settings.value().soundCues);
    double duration = secondsBetween(startedAt_, loop_.now());
    const Settings& s = settings.value();
    if (duration < s.minHoldSeconds || (mode == Mode::dictate && !s.dictationEnabled)) {
        hud.hide(0);
        return;
    }
    float rms = calcRMS(samples);
    Log::write("audio: " + format(1, duration) + "s rms=" + format(4, rms) +
               " mode=" + std::string(modeRawValue(mode)));
    if (rms < SILENCE_RMS) {
        hud.show(HUDState::note("Didn't hear anything"));
        return;
    }
    // Only a URL command's work can still run here (a start while busy is refused): it gives way.
    if (work_) Log::write("url: running command cancelled, replaced by the released recording");
    Work work = startWork();
    Capture cap = *capture_;
    Shot shot = screenshot_;
    std::weak_ptr<bool> alive = alive_;
    loop_.post([this, alive, mode, samples = std::move(samples), cap, shot, work]() mutable {
        if (!alive.lock()) return;
        if (work->cancelled()) return endWork(work);
        process(mode, std::move(samples), std::move(cap), shot, work);
    });
}

Controller::Work Controller::startWork() {
    // A task that is replaced is cancelled, so it cannot act after the new one began.
    if (work_) work_->stop.request_stop();
    work_ = std::make_shared<WorkTask>();
    return work_;
}

void Controller::endWork(const Work& work) {
    if (work_ == work) work_.reset();
}

void Controller::process(Mode mode, std::vector<float> samples, Capture cap, Shot shot, Work work) {
    hud.show(HUDState::transcribing(mode));
    auto transcriber = transcriber_;
    std::string language = settings.value().language;
    auto text = std::make_shared<std::string>();
    auto error = std::make_shared<std::exception_ptr>();
    std::weak_ptr<bool> alive = alive_;
    jobs_.run(
        work->stop.get_token(),
        [transcriber, samples = std::move(samples), language, text, error] {
            try {
                *text = transcriber->transcribe(samples, language);
            } catch (...) {
                *error = std::current_exception();
            }
        },
        [this, alive, mode, cap, shot, work, text, error, transcriber] {
            if (!alive.lock()) return;
            if (work->cancelled()) return endWork(work);
            if (*error) {
                std::string what = "unknown error";
                try {
                    std::rethrow_exception(*error);
                } catch (const SpeechModelUnavailable& e) {
                    // One line on what is missing and what to do, in the HUD and the status line.
                    Log::write("whisper: prepare failed: " + e.reason());
                    if (transcriber_ == transcriber) onStatus(e.what());
                    hud.show(HUDState::error(e.what()));
                    return endWork(work);
                } catch (const std::exception& e) {
                    what = e.what();
                } catch (...) {
                }
                hud.show(HUDState::error("Transcription failed: " + what));
                return endWork(work);
            }
            Log::write("transcript: " + std::to_string(unicode::characterCount(*text)) + " chars");
            if (text->empty() || isLikelyHallucination(*text)) {
                hud.show(HUDState::note("Didn't catch that"));
                return endWork(work);
            }
            if (mode == Mode::agent)
                runAgent(*text, cap, shot, work);
            else
                dictate(*text, cap, work);
        });
}

void Controller::run(Mode m, const std::string& text) {
    if (work_) return;
    auto cap = ContextReader::capture();
    if (!cap) return;
    if (settings.value().isDisabled(cap->ctx.bundleID)) return;
    // A recording in progress keeps its own context: its release must type where it began.
    if (!mode_) capture_ = cap;
    Work work = startWork();
    std::weak_ptr<bool> alive = alive_;
    loop_.post([this, alive, m, text, cap = *cap, work] {
        if (!alive.lock()) return;
        if (work->cancelled()) return endWork(work);
        hud.show(HUDState::thinking(text, loop_.now()), cap.caret);
        if (m == Mode::agent)
            runAgent(text, cap, nullptr, work);
        else
            dictate(text, cap, work);
    });
}

void Controller::waitForIdle() {
    loop_.runUntil([&] { return work_ == nullptr; });
    while (pendingRecords_ > 0) loop_.sleepFor(platform::seconds(0.05));
    jobs_.waitAll();
}

}  // namespace talkweft
