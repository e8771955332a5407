#include "app/power/OutputWatch.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace torvane {

void OutputWatch::see(const std::vector<AgentSession>& sessions, SystemTime wallNow, BootSeconds now) {
    std::map<std::string, Seen> seen;
    for (const AgentSession& session : sessions) {
        auto known = sessions_.extract(session.name);
        Seen watch = known ? std::move(known.mapped()) : Seen{.output = {}, .first = now};
        // The output time stands in for a file's modification time; nothing else of it changes.
        const auto stamp =
            std::chrono::duration_cast<std::chrono::nanoseconds>(session.lastOutput.time_since_epoch());
        watch.output.look(FileVersion{.modifiedNs = stamp.count()},
                          std::chrono::duration<double>(wallNow - session.lastOutput).count(), now);
        seen.insert_or_assign(session.name, std::move(watch));
    }
    sessions_ = std::move(seen);
}

std::int64_t OutputWatch::quietSeconds(BootSeconds now) const {
    std::int64_t least = std::numeric_limits<std::int64_t>::max();
    for (const auto& [name, seen] : sessions_) {
        const double quiet = (now - seen.output.changedAt().value_or(seen.first)).count();
        least = std::min(least, static_cast<std::int64_t>(std::max(0.0, std::floor(quiet))));
    }
    return least;
}

} // namespace torvane
