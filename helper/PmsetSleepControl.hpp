#pragma once

#include "helper/LogSink.hpp"
#include "helper/SleepControl.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace torvane::helper {

// System sleep through the power-management command: "-g" to read, "-a disablesleep 1|0" to switch.
class PmsetSleepControl : public SleepControl {
public:
    static constexpr const char* defaultExecutable = "/usr/bin/pmset";
    // A hung command would stall the poll loop and with it the watchdog; past this it is killed.
    static constexpr std::chrono::milliseconds defaultTimeLimit{30000};

    explicit PmsetSleepControl(std::string executable = defaultExecutable, LogSink log = logToStandardError,
                               std::chrono::milliseconds timeLimit = defaultTimeLimit);

    // Runs the command once; its standard output on success, nothing on failure (logged, except
    // output that is not UTF-8). Standard error is drained and dropped.
    std::optional<std::string> runPmset(const std::vector<std::string>& arguments);

    std::optional<bool> currentSleepDisabled() override;
    bool setSleepDisabled(bool disabled) override;
    bool restoreSleep() override;

    // The first line containing "SleepDisabled" decides: true when its last field is "1".
    static std::optional<bool> parseSleepDisabled(const std::string& settings);

private:
    std::string executable_;
    LogSink log_;
    std::chrono::milliseconds timeLimit_;
};

} // namespace torvane::helper
