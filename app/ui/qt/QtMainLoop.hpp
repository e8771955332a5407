#pragma once

#include "app/core/MainLoop.hpp"

#include <QObject>

namespace torvane {

// MainLoop on the Qt event loop of the thread that creates it. Timers stay with this object: one whose
// handle is dropped is stopped at once and deleted by the event loop, never from inside its own tick.
class QtMainLoop final : public MainLoop {
public:
    QtMainLoop();
    ~QtMainLoop() override;

    TimerHandle repeating(Seconds interval, std::function<void()> tick) override;
    TimerHandle once(Seconds delay, std::function<void()> fn) override;
    void post(std::function<void()> fn) override;

private:
    TimerHandle schedule(Seconds interval, bool singleShot, std::function<void()> fn);

    QObject owner_;
};

} // namespace torvane
