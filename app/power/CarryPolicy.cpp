#include "app/power/CarryPolicy.hpp"

namespace torvane {

CarryDecision CarryPolicy::decide(const CarryInputs& in) {
    CarryDecision d;
    // The guards see carry mode as it was: a reading while it was off does not count towards the heat.
    d.battery = battery_.update(in.power, in.floor);
    d.heat = heat_.update(in.celsius, in.heatLimit, active_);
    d.work = work_.update({.enabled = in.releaseWhenIdle,
                           .capsLockOn = in.capsLockOn,
                           .active = active_,
                           .tmuxAvailable = in.tmuxAvailable,
                           .quietSeconds = in.quietSeconds,
                           .activeFor = in.now - activeSince_});

    d.reason = in.paused            ? CarryReason::paused
               : !in.sessionActive  ? CarryReason::sessionInactive
               : battery_.blocked() ? CarryReason::batteryFloor
               : heat_.blocked()    ? CarryReason::heat
               : work_.blocked()    ? CarryReason::workDone
               : !in.capsLockOn     ? CarryReason::capsLockOff
                                    : CarryReason::on;
    d.active = d.reason == CarryReason::on;
    d.changed = d.active != active_;
    if (d.changed && d.active)
        activeSince_ = in.now;
    active_ = d.active;
    reason_ = d.reason;
    return d;
}

} // namespace torvane
