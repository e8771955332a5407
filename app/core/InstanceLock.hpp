#pragma once

#include "common/UniqueFd.hpp"

#include <filesystem>
#include <vector>

namespace torvane {

// One Torvane per user session: two copies would share one request file, and the one that quits
// writes "0" under the other. The lock is an flock on each of a few files, so it dies with the process
// however that ends.
class InstanceLock {
public:
    enum class State { acquired, heldElsewhere, unavailable };

    // Held elsewhere when any of the files is; acquired when at least one could be locked.
    explicit InstanceLock(const std::vector<std::filesystem::path>& files = defaultFiles());
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    State state() const { return state_; }

    // Beside the log, a place that does not depend on XDG_RUNTIME_DIR being set (a copy started from a
    // shell over ssh or from cron has none); and $XDG_RUNTIME_DIR/torvane.lock when that is usable.
    static std::vector<std::filesystem::path> defaultFiles();
    static std::filesystem::path defaultFile() { return defaultFiles().front(); }

private:
    std::vector<UniqueFd> fds_;
    State state_ = State::unavailable;
};

} // namespace torvane
