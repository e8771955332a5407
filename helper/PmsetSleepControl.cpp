#include "helper/PmsetSleepControl.hpp"

#include "common/Subprocess.hpp"
#include "common/Text.hpp"
#include "helper/HelperMessages.hpp"

#include <utility>

namespace torvane::helper {

namespace {

std::vector<std::string_view> split(std::string_view text, std::string_view separators) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find_first_of(separators, start), text.size());
        if (end > start)
            parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

} // namespace

PmsetSleepControl::PmsetSleepControl(std::string executable, LogSink log, std::chrono::milliseconds timeLimit)
    : executable_(std::move(executable)), log_(std::move(log)), timeLimit_(timeLimit) {}

std::optional<std::string> PmsetSleepControl::runPmset(const std::vector<std::string>& arguments) {
    const SubprocessResult result = runSubprocess(executable_, arguments, {.timeLimit = timeLimit_});
    if (!result.started) {
        log_(messages::pmsetCannotStart + result.startError);
        return std::nullopt;
    }
    if (!result.ok()) {
        // A child killed by a signal (the time limit's included) reports the signal number as its status.
        std::string joined;
        for (const auto& argument : arguments)
            joined += (joined.empty() ? "" : " ") + argument;
        log_(messages::pmsetFailed(joined, result.exitStatus));
        return std::nullopt;
    }
    if (!text::isValidUtf8(result.out))
        return std::nullopt;
    return result.out;
}

std::optional<bool> PmsetSleepControl::parseSleepDisabled(const std::string& settings) {
    for (const auto line : split(settings, "\n")) {
        if (line.find("SleepDisabled") == std::string_view::npos)
            continue;
        const auto fields = split(line, " \t");
        return !fields.empty() && fields.back() == "1";
    }
    return std::nullopt;
}

std::optional<bool> PmsetSleepControl::currentSleepDisabled() {
    const auto settings = runPmset({"-g"});
    if (!settings)
        return std::nullopt;
    return parseSleepDisabled(*settings);
}

bool PmsetSleepControl::setSleepDisabled(bool disabled) {
    if (!runPmset({"-a", "disablesleep", disabled ? "1" : "0"}))
        return false;
    log_(disabled ? messages::sleepPrevented : messages::sleepRestored);
    return true;
}

bool PmsetSleepControl::restoreSleep() {
    return runPmset({"-a", "disablesleep", "0"}).has_value();
}

} // namespace torvane::helper
