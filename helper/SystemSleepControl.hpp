#pragma once

#include "helper/SleepControl.hpp"

#include <memory>

namespace torvane::helper {

// The platform's way to hold off sleep, with its real paths (the build picks the implementation).
std::unique_ptr<SleepControl> makeSystemSleepControl();

} // namespace torvane::helper
