#include "app/platform/Platform.hpp"
#include "app/platform/linux/LinuxKeyboardState.hpp"
#include "app/platform/linux/LinuxPowerSources.hpp"
#include "app/platform/linux/LinuxThermalSensor.hpp"
#include "app/platform/linux/LogindPowerAssertions.hpp"
#include "app/platform/linux/LogindSessionActivity.hpp"
#include "app/platform/linux/SessionNotifier.hpp"

namespace torvane::platform {

std::unique_ptr<KeyboardState> makeKeyboardState() {
    return std::make_unique<LinuxKeyboardState>();
}
std::unique_ptr<PowerSources> makePowerSources() {
    return std::make_unique<LinuxPowerSources>();
}
std::unique_ptr<PowerAssertions> makePowerAssertions() {
    return std::make_unique<LogindPowerAssertions>();
}
std::unique_ptr<ThermalSensor> makeThermalSensor() {
    return std::make_unique<LinuxThermalSensor>();
}
std::unique_ptr<Notifier> makeNotifier() {
    return std::make_unique<SessionNotifier>();
}
std::unique_ptr<SessionActivity> makeSessionActivity(MainLoop& loop) {
    return std::make_unique<LogindSessionActivity>(loop);
}

} // namespace torvane::platform
