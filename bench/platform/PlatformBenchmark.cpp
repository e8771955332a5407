// Idle cost of the platform reads the app repeats for days: the Caps Lock poll (4 times a second)
// through the LED files and through XKB, a power-source reading and a temperature reading (each
// evaluation), and one whole evaluation without and with carry mode's guards.
#include "app/platform/linux/LinuxKeyboardState.hpp"
#include "app/platform/linux/LinuxPowerSources.hpp"
#include "app/platform/linux/LinuxThermalSensor.hpp"
#include "app/power/PowerState.hpp"
#include "app/ui/AppDelegate.hpp"
#include "common/Subprocess.hpp"
#include "tests/fakes/FakeAlertPresenter.hpp"
#include "tests/fakes/FakeDesktop.hpp"
#include "tests/fakes/FakeKeyboardState.hpp"
#include "tests/fakes/FakePowerAssertions.hpp"
#include "tests/fakes/FakeStatusView.hpp"
#include "tests/fakes/MemorySettings.hpp"
#include "tests/fakes/TestSupport.hpp"
#include "tests/fakes/VirtualMainLoop.hpp"
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

// A laptop's thermal class directory: processor zones among others.
void laptopZones(const test::TempDir& root) {
    const char* types[] = {"acpitz", "INT3400 Thermal", "SEN1",         "SEN2",
                           "B0D4",   "iwlwifi_1",       "x86_pkg_temp", "TCPU"};
    for (int n = 0; n < 8; ++n) {
        const auto dir = root / ("thermal_zone" + std::to_string(n));
        std::filesystem::create_directories(dir);
        test::writeFile(dir / "type", std::string(types[n]) + "\n");
        test::writeFile(dir / "temp", std::to_string(40000 + 1000 * n) + "\n");
    }
}

void temperatureOfALaptop(benchmark::State& state) {
    test::TempDir root;
    laptopZones(root);
    LinuxThermalSensor sensor(root.path());
    for (auto _ : state)
        benchmark::DoNotOptimize(sensor.celsius());
}
BENCHMARK(temperatureOfALaptop);

// One evaluation while carry mode is active: 0 without the guards' work, 1 with the temperature, 2 also
// with the tmux listing of the work-done guard (3 sessions on a private server).
void evaluation(benchmark::State& state) {
    test::TempDir root, shared, tmuxDir;
    laptopZones(root);
    LinuxThermalSensor sensor(root.path());
    ::setenv("TMUX_TMPDIR", tmuxDir.path().c_str(), 1);
    Tmux tmux;
    for (int i = 0; i < 3 && tmux.executablePath(); ++i)
        runSubprocess(*tmux.executablePath(),
                      {"new-session", "-d", "-s", "job" + std::to_string(i), "sleep 1000"},
                      {.timeLimit = std::chrono::seconds(10)});
    VirtualMainLoop loop;
    MemorySettings settings;
    settings.setBoolean(Config::Key::releaseWhenIdle, state.range(0) == 2);
    test::FakeKeyboardState keyboard;
    keyboard.on = true;
    test::TempDir noSupplies;
    LinuxPowerSources sources(noSupplies.path());
    test::FakePowerAssertions assertions;
    test::FakeStatusView view;
    test::FakeAlertPresenter alerts;
    test::FakeDesktop desktop;
    AppDelegate app(AppDelegate::Ports{loop, settings, keyboard, sources, assertions,
                                       RequestChannel(shared.path()), tmux, view, alerts, desktop, nullptr,
                                       nullptr, state.range(0) > 0 ? &sensor : nullptr});
    app.launch();
    if (!app.power().isActive())
        state.SkipWithError("carry mode did not come on");
    for (auto _ : state)
        app.evaluate("timer");
    if (app.policy().workDone() || app.policy().heatBlocked())
        state.SkipWithError("a guard released carry mode");
    app.terminate();
    if (tmux.executablePath())
        runSubprocess(*tmux.executablePath(), {"kill-server"}, {.timeLimit = std::chrono::seconds(10)});
}
BENCHMARK(evaluation)->Arg(0)->Arg(1)->Arg(2)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
