#pragma once

#include "common/Clock.hpp"
#include "common/FileChange.hpp"
#include "helper/Constants.hpp"

#include <optional>
#include <string>
#include <sys/stat.h>

namespace torvane::helper {

// The daemon's side of the shared files. The directory is writable by a user and the daemon is
// root, so nothing here follows a symlink, opens anything but a regular file, or reads more than
// a few KiB; whatever is not a plain fresh "1" means "not wanted".
// Fresh means changed lately by the boot clock, not a recent modification time: a wall clock set back
// must not keep the lid held after the app is gone, nor one set forward drop it while the app lives.
class RequestFiles {
public:
    explicit RequestFiles(std::string supportDir = std::string(SUPPORT_DIR), WallClock clock = systemNow,
                          double staleSeconds = STALE_SECONDS, BootClock boot = bootNow);

    // Creates the shared directory with its parents; failures are ignored.
    void createDirectory() const;

    // What one look at the request found.
    struct Wish {
        bool wanted = false;  // says "1" and changed within staleSeconds by the boot clock
        bool saysOn = false;  // says "1", whatever its age: tells a lost heartbeat from a release
        bool saysOff = false; // says "0"
    };
    // Reads the request and notes on the boot clock when it last changed. The wall clock only places a
    // change between two looks, and at the first look lets a "1" written 0 to staleSeconds ago count.
    Wish look();
    bool desiredState() { return look().wanted; }

    // The request is still the version the last look read: a wish that changed since is not yet
    // carried out, so it is not acknowledged.
    bool unchangedSinceLook() const;

    // Touches the ack, creating it with "ok" and mode 0644 first if it is missing. Errors are ignored.
    void writeAck() const;

    const std::string& supportDir() const { return supportDir_; }
    double staleSeconds() const { return staleSeconds_; }

private:
    struct Request {
        struct stat st;
        std::string content;
    };
    std::optional<Request> readRequest() const;
    std::optional<FileVersion> currentVersion() const;

    std::string supportDir_;
    WallClock clock_;
    double staleSeconds_;
    BootClock boot_;
    FileChangeWatch change_;
    std::optional<FileVersion> looked_; // the version the last look read
};

} // namespace torvane::helper
