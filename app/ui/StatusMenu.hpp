#pragma once

#include "app/power/CarryPolicy.hpp"
#include "app/tmux/Attention.hpp"
#include "app/ui/MenuModel.hpp"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace torvane {

// One watched tmux session as the menu shows it.
struct SessionRow {
    std::string name;
    Attention attention = Attention::working;
    std::string statusText; // attentionText's
    std::string elapsedText;
    bool operator==(const SessionRow&) const = default;
};

// What the session block has to show.
struct SessionBlock {
    enum class State { missing, pending, noAnswer, listed };
    State state = State::missing; // missing: tmux is not installed; pending: no listing has come back yet
    std::vector<SessionRow> rows; // while listed
    bool operator==(const SessionBlock&) const = default;
};

// Everything the status menu shows, read once when it opens.
struct StatusSnapshot {
    bool active = false;
    bool lidHeld = false;                          // counts while active
    CarryReason reason = CarryReason::capsLockOff; // as the last evaluation decided
    bool paused = false;
    bool capsLockOn = false;
    int floor = 20;
    int heatLimit = 90;
    bool releaseWhenIdle = false;
    std::string powerDescription;
    std::string temperatureDescription;
    std::string lidDescription;
    std::string helperDescription;
    SessionBlock sessions;
    // Whether the next login starts the app; absent where that cannot be set.
    std::optional<bool> launchAtLogin;
};

// What the menu's rows do when chosen.
struct StatusMenuActions {
    std::function<void()> togglePause;
    std::function<void()> toggleLaunchAtLogin;
    std::function<void(int percent)> setFloor;
    std::function<void(int celsius)> setHeatLimit;
    std::function<void()> toggleReleaseWhenIdle;
    std::function<void()> openLog;
    std::function<void()> showAbout;
    std::function<void()> quit;
};

// Rows that other modules add at their fixed places; empty means the place stays empty.
struct StatusMenuExtensions {
    std::vector<MenuItem> helperRows;    // right after the helper status line
    std::vector<MenuItem> phoneLinkRows; // between their own separators, before the log row
};

namespace StatusMenu {

// The floors offered in the submenu, in their order.
inline constexpr int floorChoices[] = {10, 15, 20, 30, 40};
inline constexpr int heatLimitChoices[] = {75, 80, 85, 90, 95};

// The whole menu, top to bottom.
Menu build(const StatusSnapshot& state, const StatusMenuActions& actions,
           const StatusMenuExtensions& extensions = {});

// The about box's body for a given floor.
std::string aboutText(int floor);

// Row 2's text (after the indent).
std::string_view stateDetail(const StatusSnapshot& state);

// Shown instead of the session list when tmux is missing; worded for the platform's package manager.
std::string_view tmuxMissingText();

} // namespace StatusMenu

} // namespace torvane
