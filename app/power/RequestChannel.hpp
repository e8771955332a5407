#pragma once

#include "app/core/Config.hpp"
#include "common/Clock.hpp"

#include <filesystem>
#include <string_view>

namespace torvane {

// Whether the daemon is there and alive, judged from the shared directory and its ack.
enum class HelperStatus { ok, notInstalled, notResponding };

std::string_view description(HelperStatus status);

// The application's side of the two shared files: it writes the request and reads the ack's age.
class RequestChannel {
public:
    explicit RequestChannel(std::filesystem::path supportDir = std::filesystem::path(Config::supportDir),
                            WallClock clock = systemNow);

    // Replaces the request with "1" or "0" in one step; a failure is logged, never thrown. True when
    // the new byte is in place.
    bool writeRequest(bool wanted) const;

    // The current user may write into the shared directory.
    bool canWriteRequest() const;

    // Read afresh on every call.
    HelperStatus helperStatus() const;

    const std::filesystem::path& supportDir() const { return supportDir_; }
    std::filesystem::path requestPath() const;
    std::filesystem::path ackPath() const;

private:
    std::filesystem::path supportDir_;
    WallClock clock_;
};

} // namespace torvane
