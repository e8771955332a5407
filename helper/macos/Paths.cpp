#include "helper/Constants.hpp"

namespace torvane::helper {
const std::string_view SUPPORT_DIR = protocol::macosPaths.supportDir;
const std::string_view LOG_PATH = protocol::macosPaths.helperLogPath;
} // namespace torvane::helper
