#pragma once

#include "app/power/PowerState.hpp"

namespace torvane {

// The battery floor's latch. A clear reading below the floor on battery power releases carry mode at
// once. A reading that cannot be trusted while the machine has (or had) a battery and no mains says it
// is online (no charge, a charge outside 0-100, or one below the floor with nothing saying whether power
// comes from mains) releases it at the second such evaluation in a row: a gauge that cannot be read may
// be reading an empty battery. Only a sound charge at or above the floor, or mains that says it is
// online, lifts a release, so a flickering gauge cannot make carry mode flap. A machine that never
// showed a battery is never held.
class BatteryGuard {
public:
    enum class Change { none, released, recovered };
    // What a release was made on.
    enum class Cause { belowFloor, unreadable, outOfRange, unclearSource };
    struct Result {
        Change change = Change::none;
        Cause cause = Cause::belowFloor;
    };

    Result update(const PowerState& state, int floor);
    bool blocked() const { return blocked_; }

private:
    Result release(Cause cause);
    Result lift();

    bool blocked_ = false;
    bool batterySeen_ = false; // once listed, a battery that vanishes is one we cannot read
    int doubtful_ = 0;         // evaluations in a row with a reading that cannot be trusted
};

} // namespace torvane
