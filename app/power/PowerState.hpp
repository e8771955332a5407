#pragma once

#include "app/platform/PowerSources.hpp"

#include <optional>
#include <string>

namespace torvane {

// The machine's power supply as one reading: the chosen battery's charge and whether external power
// is connected. Read afresh at each use; nothing is cached.
struct PowerState {
    std::optional<int> percent; // absent without a battery or its capacities; not clamped
    // Without a battery: whether an external supply says it is online, true when none says anything.
    bool onAC = true;
    bool hasBattery = false; // a system battery is listed, whether or not its charge can be read
    bool powerSaid = false;  // onAC comes from a source that said so, not from the fallback

    // Through the process's shared PowerSources. Never fails: a missing reading gives the fallback.
    static PowerState current();
    static PowerState from(PowerSources& sources);
    // The first source that is the internal battery or does not say what it is; without one, only
    // whether external power is online.
    static PowerState from(const PowerSnapshot& snapshot);

    // The status menu's text, e.g. "バッテリー駆動・85%".
    std::string description() const;

    bool operator==(const PowerState&) const = default;
};

} // namespace torvane
