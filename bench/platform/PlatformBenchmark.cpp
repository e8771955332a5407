// Idle cost of the platform reads the app repeats for days: the Caps Lock poll (4 times a second)
// through the LED files and through XKB, and a power-source reading (each evaluation).
#include "app/platform/linux/LinuxKeyboardState.hpp"
#include "app/platform/linux/LinuxPowerSources.hpp"
#include "app/power/PowerState.hpp"
#include "tests/fakes/TestSupport.hpp"
#include "tests/fakes/XvfbServer.hpp"

#include <benchmark/benchmark.h>
#include <filesystem>
#include <memory>

using namespace torvane;

namespace {

void capsLockFromLeds(benchmark::State& state) {
    test::TempDir leds;
    for (const char* name : {"input3::capslock", "input3::numlock", "input3::scrolllock", "phy0-led"}) {
        std::filesystem::create_directories(leds / name);
        test::writeFile(leds / name / "brightness", "0\n");
    }
    LinuxKeyboardState keyboard(leds.path());
    for (auto _ : state)
        benchmark::DoNotOptimize(keyboard.capsLockOn());
}
BENCHMARK(capsLockFromLeds);

void capsLockFromXkb(benchmark::State& state) {
    test::TempDir noLeds;
    test::Xvfb x;
    LinuxKeyboardState keyboard(noLeds.path(), x.name());
    keyboard.capsLockOn(); // connects
    for (auto _ : state)
        benchmark::DoNotOptimize(keyboard.capsLockOn());
}
BENCHMARK(capsLockFromXkb);

void powerStateOfALaptop(benchmark::State& state) {
    test::TempDir root;
    const auto add = [&](const std::string& name,
                         std::vector<std::pair<std::string, std::string>> attributes) {
        std::filesystem::create_directories(root / name);
        for (const auto& [key, value] : attributes)
            test::writeFile(root / name / key, value + "\n");
    };
    add("AC", {{"type", "Mains"}, {"online", "1"}});
    add("BAT0", {{"type", "Battery"},
                 {"status", "Charging"},
                 {"energy_now", "41250000"},
                 {"energy_full", "55000000"},
                 {"capacity", "75"}});
    add("hid-mouse-battery", {{"type", "Battery"}, {"scope", "Device"}, {"capacity", "30"}});
    LinuxPowerSources sources(root.path());
    for (auto _ : state)
        benchmark::DoNotOptimize(PowerState::from(sources));
}
BENCHMARK(powerStateOfALaptop);

} // namespace

BENCHMARK_MAIN();
