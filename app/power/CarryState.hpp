#pragma once

#include <optional>
#include <string>

namespace torvane {

// Carry mode as the phone sees it: a copy taken on the main thread after each evaluation.
struct CarryState {
    bool active = false;
    bool paused = false;
    std::string reason;   // the menu's mode row
    bool lidHeld = false; // the daemon answers and carry mode is active
    std::optional<int> temperature;
    int heatLimit = 0;
    int floor = 0;

    bool operator==(const CarryState&) const = default;
};

} // namespace torvane
