#include "helper/Helper.hpp"
#include "helper/SystemSleepControl.hpp"

// Run as root by the service manager: no arguments, no environment, no configuration.
int main() {
    using namespace torvane::helper;
    const auto sleep = makeSystemSleepControl();
    Helper helper(RequestFiles{}, *sleep);
    return helper.run();
}
