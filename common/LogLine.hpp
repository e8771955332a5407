#pragma once

#include "common/Clock.hpp"

#include <string>
#include <string_view>

namespace torvane {

// "yyyy-MM-dd HH:mm:ss" in local time, two spaces, the message, a line feed.
std::string formatLogLine(std::string_view message, SystemTime when = systemNow());

} // namespace torvane
