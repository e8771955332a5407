#pragma once

#include "common/Clock.hpp"
#include "helper/Constants.hpp"

#include <optional>
#include <string>

namespace torvane::helper {

// The daemon's side of the shared files. The directory is writable by a user and the daemon is
// root, so nothing here follows a symlink, opens anything but a regular file, or reads more than
// a few KiB; whatever is not a plain fresh "1" means "not wanted".
class RequestFiles {
public:
    explicit RequestFiles(std::string supportDir = std::string(SUPPORT_DIR), WallClock clock = systemNow,
                          double staleSeconds = STALE_SECONDS);

    // Creates the shared directory with its parents; failures are ignored.
    void createDirectory() const;

    // A fresh request (modified at most staleSeconds ago) whose trimmed content is "1".
    bool desiredState() const;

    // The request's trimmed content is "1", whatever its age (tells a lost heartbeat from a release).
    bool requestSaysOn() const;

    // Touches the ack, creating it with "ok" and mode 0644 first if it is missing. Errors are ignored.
    void writeAck() const;

    const std::string& supportDir() const { return supportDir_; }
    double staleSeconds() const { return staleSeconds_; }

private:
    struct Request {
        SystemTime modified;
        std::string content;
    };
    std::optional<Request> readRequest() const;

    std::string supportDir_;
    WallClock clock_;
    double staleSeconds_;
};

} // namespace torvane::helper
