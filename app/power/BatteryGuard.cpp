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
    // Only mains that says it is online counts as mains here: a reading with no supply at all (a
    // listing that failed) must not lift the release either.
    const bool unknownOnBattery = !(state.onAC && state.powerSaid) && !state.percent && batterySeen_;
    if (!blocked_ || unknownOnBattery)
        return Change::none;
    blocked_ = false;
    return Change::recovered;
}

} // namespace torvane
