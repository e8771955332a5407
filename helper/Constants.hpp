#pragma once

#include "common/Protocol.hpp"

#include <string_view>

// The daemon's names for the shared paths and timing; the values are common/Protocol.hpp's.
namespace torvane::helper {

extern const std::string_view SUPPORT_DIR;
extern const std::string_view LOG_PATH;

inline constexpr double STALE_SECONDS = protocol::staleSeconds;
inline constexpr double POLL_SECONDS = protocol::pollSeconds;

} // namespace torvane::helper
