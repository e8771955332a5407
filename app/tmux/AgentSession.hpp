#pragma once

#include "common/Clock.hpp"

#include <cstdint>
#include <string>

namespace torvane {

// One tmux session as the application shows it: a plain value, read from one listing.
struct AgentSession {
    std::string name;
    SystemTime created;
    SystemTime lastActivity;
    bool attached = false;
    std::string currentCommand;
    SystemTime lastOutput; // the pane's last output
    int panePid = 0;       // the active pane's process; 0 when tmux gave none
    std::string paneTty;   // its terminal, "/dev/pts/3"

    // Quiet: a program other than the shell runs and has printed nothing for this long; the usual
    // look of an agent waiting for an answer.
    static constexpr std::int64_t quietAfterSeconds = 15;

    // Working means the pane runs something other than a shell; no time threshold enters.
    bool isWorking() const;

    // Seconds since creation / last activity, taking "now" afresh on every call.
    double elapsed() const;
    double elapsed(SystemTime now) const;
    double idleFor() const;
    double idleFor(SystemTime now) const;
    // Whole seconds since the last output, never negative.
    std::int64_t activitySeconds(SystemTime now) const;
    bool isQuiet(SystemTime now) const;

    // "待機中" or "作業中（command）".
    std::string statusText() const;

    // The age in hours and minutes: "59分", "1時間0分".
    std::string elapsedText() const;
    std::string elapsedText(SystemTime now) const;

    // The text for an age given in seconds (truncated toward zero; never fails, also for NaN or infinity).
    static std::string formatElapsed(double seconds);
};

} // namespace torvane
