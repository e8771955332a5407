#include "app/ui/qt/QtMainLoop.hpp"

#include <QPointer>
#include <QTimer>
#include <cmath>

namespace torvane {

namespace {

class QtTimerHandle final : public Timer {
public:
    explicit QtTimerHandle(QTimer* timer) : timer_(timer) {}
    ~QtTimerHandle() override {
        if (timer_) {
            timer_->stop();
            timer_->deleteLater(); // the handle may be dropped from within the timer's own tick
        }
    }

private:
    QPointer<QTimer> timer_;
};

} // namespace

QtMainLoop::QtMainLoop() = default;
QtMainLoop::~QtMainLoop() = default; // owner_ deletes the timers still there

TimerHandle QtMainLoop::repeating(Seconds interval, std::function<void()> tick) {
    return schedule(interval, false, std::move(tick));
}

TimerHandle QtMainLoop::once(Seconds delay, std::function<void()> fn) {
    return schedule(delay, true, std::move(fn));
}

void QtMainLoop::post(std::function<void()> fn) {
    // Queued to the thread owner_ lives in; dropped if the loop is gone by then.
    QMetaObject::invokeMethod(&owner_, std::move(fn), Qt::QueuedConnection);
}

TimerHandle QtMainLoop::schedule(Seconds interval, bool singleShot, std::function<void()> fn) {
    auto* timer = new QTimer(&owner_);
    timer->setSingleShot(singleShot);
    const double ms = std::max(0.0, std::round(interval.count() * 1000.0));
    timer->setInterval(static_cast<int>(std::min(ms, 2147483647.0)));
    // Coarse timers (the default) may fire up to 5 % late, which lets the system batch wake-ups.
    timer->setTimerType(Qt::CoarseTimer);
    QObject::connect(timer, &QTimer::timeout, timer, [fn = std::move(fn)] { fn(); });
    timer->start();
    return std::make_unique<QtTimerHandle>(timer);
}

} // namespace torvane
