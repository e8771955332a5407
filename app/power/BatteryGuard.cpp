#include "app/power/BatteryGuard.hpp"

#include <algorithm>

namespace torvane {

BatteryGuard::Result BatteryGuard::update(const PowerState& state, int floor) {
    batterySeen_ = batterySeen_ || state.hasBattery;
    // Only mains that says it is online counts as mains here: a reading with no supply at all (a
    // listing that failed) or a battery status that says nothing must not count as plugged in.
    if ((state.onAC && state.powerSaid) || !batterySeen_) {
        doubtful_ = 0;
        return lift();
    }
    const bool sound = state.percent && *state.percent >= 0 && *state.percent <= 100;
    if (sound && *state.percent >= floor) {
        doubtful_ = 0;
        return lift();
    }
    if (sound && state.powerSaid) {
        doubtful_ = 0;
        return release(Cause::belowFloor);
    }
    // One doubtful reading may be a gauge caught mid-update; two in a row are not.
    doubtful_ = std::min(doubtful_ + 1, 2);
    if (doubtful_ < 2)
        return {};
    return release(!state.percent ? Cause::unreadable : !sound ? Cause::outOfRange : Cause::unclearSource);
}

BatteryGuard::Result BatteryGuard::release(Cause cause) {
    if (blocked_)
        return {};
    blocked_ = true;
    return {Change::released, cause};
}

BatteryGuard::Result BatteryGuard::lift() {
    if (!blocked_)
        return {};
    blocked_ = false;
    return {Change::recovered};
}

} // namespace torvane
