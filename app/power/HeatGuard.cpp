#include "app/power/HeatGuard.hpp"

#include "app/core/Config.hpp"

#include <algorithm>

namespace torvane {

HeatGuard::Result HeatGuard::update(std::optional<int> reading, int limit, bool active) {
    Result result;
    if (reading) {
        last_ = reading;
        missed_ = 0;
    } else if (last_ && ++missed_ <= heldEvaluations) {
        reading = last_;
    } else if (last_) {
        last_.reset();
        result.lost = true;
    }
    result.celsius = reading;

    if (blocked_) {
        if (reading && *reading <= limit - Config::heatRecoveryMargin) {
            blocked_ = false;
            result.change = Change::recovered;
        }
        return result;
    }
    if (!active) {
        hot_ = {};
        return result;
    }
    std::shift_left(hot_.begin(), hot_.end(), 1);
    hot_.back() = reading && *reading >= limit;
    if (std::count(hot_.begin(), hot_.end(), true) >= 2) {
        hot_ = {};
        blocked_ = true;
        result.change = Change::released;
    }
    return result;
}

} // namespace torvane
