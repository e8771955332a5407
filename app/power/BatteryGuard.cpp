#include "app/power/BatteryGuard.hpp"

namespace torvane {

BatteryGuard::Change BatteryGuard::update(const PowerState& state, int floor) {
    batterySeen_ = batterySeen_ || state.hasBattery;
    if (!state.onAC && state.percent && *state.percent < floor) {
        if (blocked_)
            return Change::none;
        blocked_ = true;
        return Change::released;
    }
    const bool unknownOnBattery = !state.onAC && !state.percent && batterySeen_;
    if (!blocked_ || unknownOnBattery)
        return Change::none;
    blocked_ = false;
    return Change::recovered;
}

} // namespace torvane
