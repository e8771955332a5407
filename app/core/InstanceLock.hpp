#pragma once

#include <filesystem>

namespace torvane {

// One Torvane per user session: two copies would share one request file, and the one that quits
// writes "0" under the other. The lock is an flock on a file, so it dies with the process however
// that ends.
class InstanceLock {
public:
    enum class State { acquired, heldElsewhere, unavailable };

    explicit InstanceLock(const std::filesystem::path& file = defaultFile());
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    State state() const { return state_; }

    // $XDG_RUNTIME_DIR/torvane.lock; without a usable runtime directory, beside the log.
    static std::filesystem::path defaultFile();

private:
    int fd_ = -1;
    State state_ = State::unavailable;
};

} // namespace torvane
