#pragma once

#include "app/core/MainLoop.hpp"
#include "app/platform/KeyboardState.hpp"
#include "app/platform/Notifier.hpp"
#include "app/platform/PowerAssertions.hpp"
#include "app/platform/PowerSources.hpp"
#include "app/platform/SessionActivity.hpp"
#include "app/platform/ThermalSensor.hpp"

#include <memory>

// The host platform's implementation of each port, with its real system locations; the build picks
// the linux/ or macos/ definitions.
namespace torvane::platform {

std::unique_ptr<KeyboardState> makeKeyboardState();
std::unique_ptr<PowerSources> makePowerSources();
std::unique_ptr<PowerAssertions> makePowerAssertions();
std::unique_ptr<ThermalSensor> makeThermalSensor();
std::unique_ptr<Notifier> makeNotifier();
// Its changes come to the main thread through `loop`, which must outlive it.
std::unique_ptr<SessionActivity> makeSessionActivity(MainLoop& loop);

} // namespace torvane::platform
