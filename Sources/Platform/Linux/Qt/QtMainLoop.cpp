#include "Platform/Linux/Qt/QtMainLoop.hpp"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <stdexcept>

namespace talkweft::platform::linuxdesktop {

namespace qtmainloop {

// Whole milliseconds until `due`, rounded up so a Qt timer never wakes before it.
int millisecondsUntil(TimePoint due) {
    const auto left = due - Clock::now();
    if (left <= Duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<std::chrono::milliseconds::rep>(ms, INT_MAX));
}

// Runs `events` until something ends it. A QEventLoop refuses to start once the application has
// been told to exit (QCoreApplication::exit); the loop's events are then served directly, so a wait
// during shutdown neither spins nor stalls.
void serve(QEventLoop& events) {
    if (events.exec() == -1) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

}  // namespace qtmainloop

QtMainLoop::QtMainLoop() : mainThread_(std::this_thread::get_id()) {
    if (QCoreApplication::instance() == nullptr) throw std::logic_error("QtMainLoop needs a QCoreApplication");
    context_ = std::make_unique<QObject>();
    timer_ = new QTimer(context_.get());
    timer_->setSingleShot(true);
    timer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer_, &QTimer::timeout, context_.get(), [this] { fireTimer(); });
    // Whatever a nested wait waits for may also change in Qt's own events (a window, the tray
    // menu): look again each time the loop is about to sleep.
    if (auto* dispatcher = QAbstractEventDispatcher::instance(QThread::currentThread()))
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, context_.get(), [this] { checkInnermost(); });
}

QtMainLoop::~QtMainLoop() = default;

TimePoint QtMainLoop::now() const { return Clock::now(); }

void QtMainLoop::post(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(job));
    }
    QMetaObject::invokeMethod(context_.get(), [this] { runPosted(); }, Qt::QueuedConnection);
}

void QtMainLoop::runPosted() {
    if (innermostEnding()) {
        heldWakes_++;
        return;
    }
    std::function<void()> job;
    {
        std::lock_guard lock(mutex_);
        if (posted_.empty()) return;
        job = std::move(posted_.front());
        posted_.pop_front();
    }
    job();
    checkInnermost();
}

void QtMainLoop::resume() {
    for (int held = std::exchange(heldWakes_, 0); held > 0; --held)
        QMetaObject::invokeMethod(context_.get(), [this] { runPosted(); }, Qt::QueuedConnection);
    rearm();
}

TimerId QtMainLoop::addTimer(Duration delay, std::function<void()> job) { return schedule(delay, std::nullopt, std::move(job)); }

TimerId QtMainLoop::addRepeatingTimer(Duration interval, std::function<void()> job) {
    return schedule(interval, std::max(interval, Duration(1)), std::move(job));
}

TimerId QtMainLoop::schedule(Duration delay, std::optional<Duration> interval, std::function<void()> job) {
    TimerId id;
    {
        std::lock_guard lock(mutex_);
        id = timers_.add(now() + std::max(delay, Duration(0)), interval, std::move(job));
    }
    requestRearm();
    return id;
}

void QtMainLoop::cancelTimer(TimerId id) {
    // The Qt timer may still wake for it: fireTimer then finds nothing due and rearms.
    std::lock_guard lock(mutex_);
    timers_.cancel(id);
}

void QtMainLoop::requestRearm() {
    if (isMainThread())
        rearm();
    else
        QMetaObject::invokeMethod(context_.get(), [this] { rearm(); }, Qt::QueuedConnection);
}

void QtMainLoop::rearm() {
    std::optional<TimePoint> due;
    {
        std::lock_guard lock(mutex_);
        due = timers_.nextDue();
    }
    if (due)
        timer_->start(qtmainloop::millisecondsUntil(*due));
    else
        timer_->stop();
}

void QtMainLoop::fireTimer() {
    if (innermostEnding()) return;  // rearmed when the loop around takes over
    std::function<void()> job;
    {
        std::lock_guard lock(mutex_);
        const TimePoint current = now();
        job = timers_.takeDue(current, current);
    }
    // Armed for the next one first, so a nested loop inside the job keeps serving timers.
    rearm();
    if (!job) return;
    job();
    checkInnermost();
}

void QtMainLoop::checkInnermost() {
    if (levels_.empty()) return;
    const Level& top = levels_.back();
    bool end = false;
    switch (top.kind) {
        case Level::Kind::run: end = quit_.load(); break;
        case Level::Kind::until: end = quit_.load() || (*top.done)(); break;
        case Level::Kind::sleep: break;  // its own timer ends it
    }
    if (!end) return;
    levels_.back().ending = true;
    top.events->exit(0);
}

// Keeps a nested loop on the stack of levels for its scope (also when a job throws through it);
// serve() runs its events once more after an ending that came to nothing.
struct QtMainLoop::LevelScope {
    LevelScope(QtMainLoop& loop, Level::Kind kind, QEventLoop& events, const std::function<bool()>* done = nullptr)
        : loop(loop), events(events) {
        loop.levels_.push_back(Level{kind, &events, done});
    }
    ~LevelScope() {
        loop.levels_.pop_back();
        loop.resume();
    }
    void serve() {
        if (std::exchange(loop.levels_.back().ending, false)) loop.resume();
        qtmainloop::serve(events);
    }
    QtMainLoop& loop;
    QEventLoop& events;
};

void QtMainLoop::run() {
    if (!quit_.load()) {
        QEventLoop events;
        LevelScope level(*this, Level::Kind::run, events);
        while (!quit_.load()) level.serve();
    }
    quit_.store(false);
}

void QtMainLoop::quit() {
    quit_.store(true);
    if (isMainThread())
        checkInnermost();
    else
        QMetaObject::invokeMethod(context_.get(), [this] { checkInnermost(); }, Qt::QueuedConnection);
}

void QtMainLoop::sleepFor(Duration d) {
    const TimePoint deadline = now() + std::max(d, Duration(0));
    QEventLoop events;
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    QObject::connect(&wake, &QTimer::timeout, &events, [&events] { events.exit(0); });
    LevelScope level(*this, Level::Kind::sleep, events);
    while (now() < deadline) {
        wake.start(qtmainloop::millisecondsUntil(deadline));
        level.serve();
    }
}

bool QtMainLoop::runUntil(const std::function<bool()>& done) {
    QEventLoop events;
    LevelScope level(*this, Level::Kind::until, events, &done);
    for (;;) {
        if (done()) return true;
        if (quit_.load()) return false;
        level.serve();
    }
}

bool QtMainLoop::isMainThread() const { return std::this_thread::get_id() == mainThread_; }

}  // namespace talkweft::platform::linuxdesktop
