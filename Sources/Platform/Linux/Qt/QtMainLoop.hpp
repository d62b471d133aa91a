// The main loop served by Qt's event loop: posted jobs and timers run on the thread that owns the
// QApplication, between Qt's own events (windows, the tray icon, D-Bus), on the real steady clock.
//
// Jobs wait in a queue of their own, each woken by a queued call to a context object; timers are
// kept in one table and a single Qt timer is armed for the earliest, so timers can be added and
// cancelled from any thread and a cancelled timer never runs afterwards. run(), sleepFor() and
// runUntil() are nested Qt event loops, so whatever waits keeps the desktop served. Once a wait has
// what it waits for (or quit() came), no further job or timer runs before it returns, although Qt
// hands over its queued calls in batches.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Platform/MainLoop.hpp"
#include "Platform/TimerTable.hpp"

class QObject;
class QTimer;
class QEventLoop;

namespace talkweft::platform::linuxdesktop {

class QtMainLoop : public platform::MainLoop {
public:
    // Needs a QCoreApplication (or QApplication); create it on that application's thread, which
    // becomes the main thread. Destroy it there too: jobs and timers still queued are dropped.
    QtMainLoop();
    ~QtMainLoop() override;
    QtMainLoop(const QtMainLoop&) = delete;
    QtMainLoop& operator=(const QtMainLoop&) = delete;

    TimePoint now() const override;
    void post(std::function<void()> job) override;
    TimerId addTimer(Duration delay, std::function<void()> job) override;
    TimerId addRepeatingTimer(Duration interval, std::function<void()> job) override;
    void cancelTimer(TimerId id) override;
    // Returns at once when quit() came before it; clears the quit request when it returns, so the
    // loop can wait again afterwards (the shutdown waits for work to end).
    void run() override;
    // Any thread (also a thread that waits for signals). Ends run() and every runUntil() under way
    // (they return false); a sleepFor() under way sleeps to its end.
    void quit() override;
    void sleepFor(Duration d) override;
    bool runUntil(const std::function<bool()>& done) override;
    bool isMainThread() const override;

private:
    // One nested event loop under way on the main thread (innermost last).
    struct Level {
        enum class Kind { run, sleep, until } kind;
        QEventLoop* events;
        const std::function<bool()>* done;  // until
        bool ending = false;  // told to return: jobs and timers wait for the loop around it
    };
    struct LevelScope;

    TimerId schedule(Duration delay, std::optional<Duration> interval, std::function<void()> job);
    // Main thread: arms the Qt timer for the earliest timer (stops it when there is none).
    void rearm();
    // Main thread: asks the main thread to rearm (at once when on it).
    void requestRearm();
    // Main thread: runs the earliest timer when it is due.
    void fireTimer();
    // Main thread: runs the next queued job, unless the innermost nested loop is ending.
    void runPosted();
    // Main thread: ends the innermost nested loop when what it waits for has come.
    void checkInnermost();
    bool innermostEnding() const { return !levels_.empty() && levels_.back().ending; }
    // Main thread: wakes the jobs and the timer held back while a nested loop was ending.
    void resume();

    const std::thread::id mainThread_;
    std::unique_ptr<QObject> context_;  // queued calls land here; owns the timer
    QTimer* timer_ = nullptr;
    std::vector<Level> levels_;  // main thread only
    int heldWakes_ = 0;          // main thread only: wakes of queued jobs held back
    std::atomic<bool> quit_{false};

    mutable std::mutex mutex_;
    std::deque<std::function<void()>> posted_;    // guarded by mutex_
    TimerTable timers_;                           // guarded by mutex_
};

}  // namespace talkweft::platform::linuxdesktop
