#pragma once

#include <optional>

namespace torvane::helper {

// The system's sleep setting as the daemon sees it. Implementations log their own outcome lines.
class SleepControl {
public:
    virtual ~SleepControl() = default;

    // True while sleep is prevented, false when it is not, nothing when that cannot be told.
    virtual std::optional<bool> currentSleepDisabled() = 0;

    // Switches prevention on or off and logs the success line; a failure logs its ERROR line only.
    // True when the setting is now as asked.
    virtual bool setSleepDisabled(bool disabled) = 0;

    // Puts normal sleep back whatever was applied before. True when it did; logs only a failure,
    // because each caller (start, stop) words its own success line. False also when there was
    // provably nothing to put back.
    virtual bool restoreSleep() = 0;
};

} // namespace torvane::helper
