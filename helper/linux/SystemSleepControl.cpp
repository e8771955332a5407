#include "helper/SystemSleepControl.hpp"

#include "helper/LogindSleepControl.hpp"

namespace torvane::helper {

std::unique_ptr<SleepControl> makeSystemSleepControl() {
    return std::make_unique<LogindSleepControl>();
}

} // namespace torvane::helper
