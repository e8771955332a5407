#include "app/power/CapsLockMonitor.hpp"

#include "app/core/Config.hpp"

namespace torvane {

CapsLockMonitor::CapsLockMonitor(MainLoop& loop, KeyboardState& keyboard)
    : loop_(loop), keyboard_(keyboard) {}

bool CapsLockMonitor::currentState() {
    return KeyboardState::shared().capsLockOn();
}

void CapsLockMonitor::start() {
    isOn = keyboard_.capsLockOn();
    // The handle lives in this object, so the loop never calls a monitor that is gone.
    timer_ = loop_.repeating(MainLoop::Seconds(Config::pollInterval), [this] { poll(); });
}

void CapsLockMonitor::stop() {
    timer_.reset();
}

void CapsLockMonitor::poll() {
    const bool state = keyboard_.capsLockOn();
    if (state == isOn)
        return;
    isOn = state;
    if (onChange)
        onChange(state);
}

} // namespace torvane
