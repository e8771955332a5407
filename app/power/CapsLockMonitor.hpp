#pragma once

#include "app/core/MainLoop.hpp"
#include "app/platform/KeyboardState.hpp"

#include <functional>

namespace torvane {

// Turns the Caps Lock state into a stored flag and an edge notification, by polling the keyboard
// every Config::pollInterval on the main loop. A press and release between two polls goes unseen.
class CapsLockMonitor {
public:
    explicit CapsLockMonitor(MainLoop& loop, KeyboardState& keyboard = KeyboardState::shared());
    CapsLockMonitor(const CapsLockMonitor&) = delete;
    CapsLockMonitor& operator=(const CapsLockMonitor&) = delete;

    // Caps Lock as the process's shared keyboard reports it now.
    static bool currentState();

    // Takes the present state into isOn without notifying, then polls.
    void start();
    // Stops polling; isOn keeps its last value.
    void stop();
    bool isRunning() const { return timer_ != nullptr; }

    bool isOn = false;                  // last state seen
    std::function<void(bool)> onChange; // called with the new state, already stored in isOn

private:
    void poll();

    MainLoop& loop_;
    KeyboardState& keyboard_;
    TimerHandle timer_;
};

} // namespace torvane
