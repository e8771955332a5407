#include "helper/Constants.hpp"

namespace torvane::helper {
const std::string_view SUPPORT_DIR = protocol::linuxPaths.supportDir;
const std::string_view LOG_PATH = protocol::linuxPaths.helperLogPath;
} // namespace torvane::helper
