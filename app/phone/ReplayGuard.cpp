#include "app/phone/ReplayGuard.hpp"

#include <algorithm>

namespace torvane::seal {

ReplayGuard::Verdict ReplayGuard::admit(const std::string& id, long long time, long long now) {
    const long long reach = behind.count();
    if (time < now - reach || time > now + ahead.count()) {
        return Verdict::outsideWindow;
    }
    const std::lock_guard lock(mutex_);
    // An id whose time has left the window is refused for that alone, so it need not be kept.
    while (!order_.empty() && order_.begin()->first < now - reach) {
        floor_ = std::max(floor_, order_.begin()->first + 1);
        seen_.erase(order_.begin()->second);
        order_.erase(order_.begin());
    }
    if (time < floor_) {
        return Verdict::outsideWindow;
    }
    if (!seen_.emplace(id, time).second) {
        return Verdict::replayed;
    }
    order_.emplace(time, id);
    return Verdict::admitted;
}

} // namespace torvane::seal
