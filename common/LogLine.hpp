#pragma once

#include <string>
#include <string_view>

#include "common/Clock.hpp"

namespace torvane {

// "yyyy-MM-dd HH:mm:ss" in local time, two spaces, the message, a line feed.
std::string formatLogLine(std::string_view message, SystemTime when = systemNow());

} // namespace torvane
