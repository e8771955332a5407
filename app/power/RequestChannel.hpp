#pragma once

#include "app/core/Config.hpp"
#include "common/Clock.hpp"
#include "common/FileChange.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace torvane {

// Whether the daemon is there and alive, judged from the shared directory and its ack.
// otherUser: the shared directory belongs to another user, whose helper it is.
enum class HelperStatus { ok, notInstalled, notResponding, otherUser };

std::string_view description(HelperStatus status);

// The application's side of the two shared files: it writes the request and reads the ack's age.
class RequestChannel {
public:
    explicit RequestChannel(std::filesystem::path supportDir = std::filesystem::path(Config::supportDir),
                            WallClock clock = systemNow, BootClock boot = bootNow);

    // Replaces the request with "1" or "0" in one step; a failure is logged, never thrown. True when
    // the new byte is in place.
    bool writeRequest(bool wanted) const;
    // The request as it stands, trimmed; absent when it cannot be read.
    std::optional<std::string> readRequest() const;

    // The current user may write into the shared directory.
    bool canWriteRequest() const;

    // Looks at the ack (one stat) and notes on the boot clock when the daemon last touched it. The
    // daemon touches it only while it carries out the request, so its age says whether it does.
    void lookAtAck() const;
    // The ack changed at or after `since` and at most `within` seconds ago, both by the boot clock, as
    // of the last look.
    bool ackedSince(BootSeconds since, double within) const;
    BootSeconds bootTime() const { return boot_(); }

    // Looks at the ack afresh.
    HelperStatus helperStatus() const;

    const std::filesystem::path& supportDir() const { return supportDir_; }
    std::filesystem::path requestPath() const;
    std::filesystem::path ackPath() const;

private:
    std::filesystem::path supportDir_;
    WallClock clock_;
    BootClock boot_;
    mutable FileChangeWatch ack_; // what the looks so far saw of the ack
};

} // namespace torvane
