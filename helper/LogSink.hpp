#pragma once

#include <functional>
#include <string>

namespace torvane::helper {

// Where the daemon's messages go; tests collect them instead.
using LogSink = std::function<void(const std::string& message)>;

// One log line (common format) on standard error, in a single write so that lines never interleave.
// The service manager collects standard error; the daemon opens no log file itself.
void logToStandardError(const std::string& message);

} // namespace torvane::helper
