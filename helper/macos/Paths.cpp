#include "helper/Constants.hpp"

namespace torvane::helper {
const std::string_view SUPPORT_DIR = protocol::macosPaths.supportDir;
const std::string_view REQUEST_PATH = protocol::macosPaths.requestPath;
const std::string_view ACK_PATH = protocol::macosPaths.ackPath;
const std::string_view LOG_PATH = protocol::macosPaths.helperLogPath;
} // namespace torvane::helper
