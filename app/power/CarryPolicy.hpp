#pragma once

#include "app/core/Config.hpp"
#include "app/power/BatteryGuard.hpp"
#include "app/power/HeatGuard.hpp"
#include "app/power/PowerState.hpp"
#include "app/power/WorkDoneGuard.hpp"

#include <cstdint>
#include <optional>

namespace torvane {

// Why carry mode is what it is; when several apply, the first listed after `on` wins.
enum class CarryReason { on, paused, sessionInactive, batteryFloor, heat, workDone, capsLockOff };

// One evaluation's readings, taken by the caller.
struct CarryInputs {
    bool capsLockOn = false;
    bool sessionActive = true; // another user's session in front shares our Caps Lock LED, not our wish
    bool paused = false;
    PowerState power{};
    int floor = Config::defaultBatteryFloor;
    std::optional<int> celsius{}; // the sensor's reading
    int heatLimit = Config::defaultHeatLimit;
    bool releaseWhenIdle = false;
    bool tmuxAvailable = false;
    std::optional<std::int64_t> quietSeconds{}; // see WorkDoneGuard::Reading
    BootSeconds now{};                          // the boot clock: how long carry mode has been on
};

struct CarryDecision {
    bool active = false;
    bool changed = false; // differs from the decision before
    CarryReason reason = CarryReason::capsLockOff;
    // What each guard made of this evaluation, for the caller to tell.
    BatteryGuard::Result battery;
    HeatGuard::Result heat;
    WorkDoneGuard::Result work;
};

// Whether carry mode is in force: Caps Lock, the login session, the pause and the three guards, over
// the readings of one evaluation at a time. No clock or I/O: the caller reads, and carries out.
class CarryPolicy {
public:
    CarryDecision decide(const CarryInputs& in);

    bool active() const { return active_; }
    CarryReason reason() const { return reason_; }
    bool batteryBlocked() const { return battery_.blocked(); }
    bool heatBlocked() const { return heat_.blocked(); }
    bool workDone() const { return work_.blocked(); }

private:
    BatteryGuard battery_;
    HeatGuard heat_;
    WorkDoneGuard work_;
    bool active_ = false;
    CarryReason reason_ = CarryReason::capsLockOff;
    BootSeconds activeSince_{}; // the work's quiet time counts from here at most
};

} // namespace torvane
