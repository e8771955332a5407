#pragma once

#include "common/UniqueFd.hpp"
#include "helper/LogSink.hpp"
#include "helper/SleepControl.hpp"

#include <optional>
#include <string>

namespace torvane::helper {

// System sleep (lid switch included) held off by a logind block inhibitor on the system bus. The lock
// lives exactly as long as our fd: closing it releases the lock, and so does the daemon's death.
class LogindSleepControl : public SleepControl {
public:
    static constexpr const char* what = "sleep:idle:handle-lid-switch";
    static constexpr const char* who = "torvane-helper";
    static constexpr const char* why = "持ち運びモード";
    static constexpr const char* mode = "block";

    explicit LogindSleepControl(LogSink log = logToStandardError);
    LogindSleepControl(const LogindSleepControl&) = delete;
    LogindSleepControl& operator=(const LogindSleepControl&) = delete;

    // Whether this daemon holds its lock; a lock of an earlier run died with that process.
    std::optional<bool> currentSleepDisabled() override;
    bool setSleepDisabled(bool disabled) override;
    // False when no lock was held (every request refused): nothing was prevented, so nothing is restored.
    bool restoreSleep() override;

private:
    LogSink log_;
    UniqueFd lock_;
};

} // namespace torvane::helper
