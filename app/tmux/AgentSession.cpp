#include "app/tmux/AgentSession.hpp"

#include "app/tmux/Tmux.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace torvane {

namespace {

// In floating point: two extreme time points must not overflow an integer subtraction.
double secondsSince(SystemTime then, SystemTime now) {
    using Seconds = std::chrono::duration<double>;
    return Seconds(now.time_since_epoch()).count() - Seconds(then.time_since_epoch()).count();
}

std::int64_t truncatedSeconds(double seconds) {
    if (std::isnan(seconds))
        return 0;
    // 2^63 is exactly representable; anything at or beyond it saturates.
    constexpr double limit = 9223372036854775808.0;
    if (seconds >= limit)
        return std::numeric_limits<std::int64_t>::max();
    if (seconds <= -limit)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(seconds); // truncates toward zero
}

} // namespace

bool AgentSession::isWorking() const {
    return !Tmux::shellNames().contains(currentCommand);
}

double AgentSession::elapsed() const {
    return elapsed(systemNow());
}
double AgentSession::elapsed(SystemTime now) const {
    return secondsSince(created, now);
}
double AgentSession::idleFor() const {
    return idleFor(systemNow());
}
double AgentSession::idleFor(SystemTime now) const {
    return secondsSince(lastActivity, now);
}

std::int64_t AgentSession::activitySeconds(SystemTime now) const {
    return std::max<std::int64_t>(0, truncatedSeconds(secondsSince(lastOutput, now)));
}

bool AgentSession::isQuiet(SystemTime now) const {
    return isWorking() && activitySeconds(now) >= quietAfterSeconds;
}

std::string AgentSession::statusText() const {
    if (!isWorking())
        return "待機中";
    return "作業中（" + currentCommand + "）";
}

std::string AgentSession::elapsedText() const {
    return elapsedText(systemNow());
}
std::string AgentSession::elapsedText(SystemTime now) const {
    return formatElapsed(elapsed(now));
}

std::string AgentSession::formatElapsed(double seconds) {
    const std::int64_t s = truncatedSeconds(seconds);
    const std::int64_t m = (s % 3600) / 60; // C++ truncates toward zero: negative ages give "-2分"
    if (s < 3600)
        return std::to_string(m) + "分";
    return std::to_string(s / 3600) + "時間" + std::to_string(m) + "分";
}

} // namespace torvane
