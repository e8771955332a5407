#include "app/power/WorkDoneGuard.hpp"

#include "app/core/Config.hpp"

namespace torvane {

WorkDoneGuard::Result WorkDoneGuard::update(const Reading& r) {
    if (blocked_ && (!r.capsLockOn || !r.enabled)) {
        blocked_ = false;
        return {Change::recovered};
    }
    if (!r.enabled || !(r.active || blocked_) || !r.tmuxAvailable)
        return {};
    Result result{.wantsListing = true};
    if (!r.quietSeconds)
        return result;
    const bool quiet = *r.quietSeconds >= Config::workDoneAfterSeconds;
    if (blocked_) {
        if (!quiet) {
            blocked_ = false;
            result.change = Change::recovered;
        }
        return result;
    }
    if (quiet && r.activeFor >= std::chrono::seconds(Config::workDoneAfterSeconds)) {
        blocked_ = true;
        result.change = Change::released;
    }
    return result;
}

} // namespace torvane
