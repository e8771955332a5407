#include "helper/SystemSleepControl.hpp"

#include "helper/PmsetSleepControl.hpp"

namespace torvane::helper {

std::unique_ptr<SleepControl> makeSystemSleepControl() {
    return std::make_unique<PmsetSleepControl>();
}

} // namespace torvane::helper
