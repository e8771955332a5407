#pragma once

#include "common/Protocol.hpp"

#include <string_view>

// The daemon's own copies of the shared paths and timing.
namespace torvane::helper {

extern const std::string_view SUPPORT_DIR;
extern const std::string_view REQUEST_PATH;
extern const std::string_view ACK_PATH;
extern const std::string_view LOG_PATH;

inline constexpr double STALE_SECONDS = protocol::staleSeconds;
inline constexpr double POLL_SECONDS = protocol::pollSeconds;

} // namespace torvane::helper
