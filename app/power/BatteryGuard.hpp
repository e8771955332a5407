#pragma once

#include "app/power/PowerState.hpp"

namespace torvane {

// The battery floor's latch. A reading below the floor on battery power releases carry mode; only a
// reading at or above the floor, or external power, lifts the release. A charge that cannot be read
// while the machine has (or had) a battery and mains is not online may be any charge: it lifts nothing,
// so a flickering gauge cannot make carry mode flap. A machine that never showed a battery is never held.
class BatteryGuard {
public:
    enum class Change { none, released, recovered };

    Change update(const PowerState& state, int floor);
    bool blocked() const { return blocked_; }

private:
    bool blocked_ = false;
    bool batterySeen_ = false; // once listed, a battery that vanishes is one we cannot read
};

} // namespace torvane
