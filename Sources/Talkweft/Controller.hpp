// The hold-to-talk controller: runs the user's cycles from the chord to the finished edit.
//
// It receives the hotkeys' chord events, captures the focused field's context, records the
// microphone under a watchdog, has the recording transcribed off the main thread, then types the
// transcript (dictation) or runs the agent on it and applies the answer, recording the result in
// the per-context history. The work of one released recording (or URL command) is the `work` task:
// while it exists the application is busy, and Esc cancels it.
//
// Everything runs on the main loop's thread; background steps post their results back.
// Uses the current platform (main loop, workspace, accessibility, keyboard, audio, sounds, panel).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "Platform/MainLoop.hpp"
#include "Talkweft/BackgroundJobs.hpp"
#include "Talkweft/ContextReader.hpp"
#include "Talkweft/HUD.hpp"
#include "Talkweft/Hotkeys.hpp"
#include "Talkweft/Recorder.hpp"
#include "Talkweft/SettingsStore.hpp"
#include "Talkweft/Transcriber.hpp"
#include "Talkweft/Writer.hpp"
#include "TalkweftCore/Agent.hpp"
#include "TalkweftCore/History.hpp"

namespace talkweft {

// Recordings whose RMS level is below this are treated as silence and not transcribed.
inline constexpr float SILENCE_RMS = 0.002f;

// What forgetting a context's history did.
struct ForgetResult {
    enum class Kind { cleared, nothing, failed };
    Kind kind = Kind::nothing;
    std::string subject;  // cleared, failed
    std::string error;    // failed: the error's description
};

class Controller {
public:
    // Builds the controller over the settings (which must outlive it). `transcriber` null: the
    // application's WhisperTranscriber for the settings' speech model. Subscribes to settings
    // changes and to the machine's sleep notice; starts nothing (see Hotkeys::start and
    // prepareTranscriber).
    explicit Controller(SettingsStore& settings, std::shared_ptr<Transcriber> transcriber = nullptr);
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // Status "Loading speech model…" ("Downloading speech model… N%" while a model downloads),
    // then prepares the transcriber off the main thread and sets "Ready" or (logging "whisper:
    // prepare failed: <reason>") the one-line message of a SpeechModelUnavailable, else "Speech
    // model failed to load"; a
    // transcriber replaced meanwhile sets no status when its preparation ends. Replacing the
    // transcriber (a model change) or stopPreparation() cancels its preparation (a download
    // included), which then ends as failed.
    void prepareTranscriber();

    // Cancels the running preparation, if any (at quit, so waitForIdle() need not wait for a
    // download to end). A later prepareTranscriber() starts a new one.
    void stopPreparation();

    // Esc: drops a recording, else cancels the work (note "Cancelled"), else hides a reply or error.
    void cancel();

    // A URL command: dictates or runs the agent on `text` in the front app, without recording.
    // Ignored while work runs, without a front app, or in a switched-off app.
    void run(Mode mode, const std::string& text);

    // Removes the stored history of the captured context.
    ForgetResult forget(const Capture& cap);

    // True while work (a transcription, dictation or agent run) is in progress.
    bool isBusy() const { return work_ != nullptr; }
    // True while a recording runs.
    bool isRecording() const { return mode_.has_value(); }

    // Main thread, for tests and shutdown: waits until no work runs and every background step
    // (history writes included) has ended.
    void waitForIdle();

    SettingsStore& settings;
    HistoryStore store;
    HUD hud;
    std::unique_ptr<TextWriter> writer;
    Hotkeys hotkeys;
    std::function<void(const std::string&)> onStatus = [](const std::string&) {};

    const std::shared_ptr<Transcriber>& transcriber() const { return transcriber_; }

private:
    struct WorkTask {
        std::stop_source stop;
        bool cancelled() const { return stop.stop_requested(); }
    };
    using Work = std::shared_ptr<WorkTask>;
    struct Screenshot {
        bool done = false;
        std::optional<std::string> path;
        std::vector<std::function<void()>> waiters;
    };
    using Shot = std::shared_ptr<Screenshot>;

    // The cycle.
    void handle(const ChordEvent& event);
    void begin(Mode mode);
    void finish();
    void abortRecording();
    void apply(const Settings& s);
    // Shows the transcriber's download progress in the status line while it is the current one.
    void watchDownload(const std::shared_ptr<Transcriber>& transcriber);
    void startWatchdog();
    void stopWatchdog();
    void checkRecording();
    void startScreenshot();
    bool scoped() const;
    Work startWork();
    void endWork(const Work& work);
    void process(Mode mode, std::vector<float> samples, Capture cap, Shot shot, Work work);

    // The finishing steps; each ends by calling endWork(work).
    void dictate(const std::string& text, const Capture& cap, const Work& work);
    void runAgent(const std::string& text, const Capture& cap, Shot shot, const Work& work);
    void runAgentWithContext(const std::string& text, const Capture& cap, AppContext ctx, platform::TimePoint start,
                             const Work& work);
    void applyResult(const AgentResult& result, const std::string& instruction, const Capture& cap);
    std::vector<TextEdit> applyEdits(const std::vector<TextEdit>& edits, const Capture& cap);
    void record(const Capture& cap, HistoryEntry entry);
    bool isFront(const Capture& cap) const;

    platform::MainLoop& loop_;
    std::unique_ptr<audioinput::AudioSystem> noAudio_;  // stands in when the platform has no microphone
    Recorder recorder_;
    std::shared_ptr<Transcriber> transcriber_;
    std::optional<Capture> capture_;
    std::optional<Mode> mode_;
    platform::TimePoint startedAt_{};
    Shot screenshot_;
    Work work_;
    platform::TimerId watchdog_ = 0;
    int pendingRecords_ = 0;  // history writes waiting for their field read
    SettingsStore::SubscriptionId subscription_ = 0;
    std::uint64_t sleepObserver_ = 0;
    std::stop_source preparation_;  // cancels the current transcriber's preparations
    BackgroundJobs jobs_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace talkweft
