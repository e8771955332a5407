#include "app/platform/linux/LinuxKeyboardState.hpp"
#include "app/platform/linux/LinuxPowerSources.hpp"
#include "app/platform/linux/LinuxThermalSensor.hpp"
#include "app/power/PowerState.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>

using namespace torvane;

namespace {

// Lays out "dir/file=value dir/file=value ..." as sysfs does (values end in a line feed, "~" stands for
// a space); a name without "=" is a plain file or, ending in "/", an empty directory.
std::unique_ptr<test::TempDir> layOut(const std::string& entries) {
    auto root = std::make_unique<test::TempDir>();
    std::istringstream in(entries);
    for (std::string entry; in >> entry;) {
        const auto eq = entry.find('=');
        const std::filesystem::path path = *root / entry.substr(0, eq);
        std::filesystem::create_directories(entry.back() == '/' ? path : path.parent_path());
        if (entry.back() != '/') {
            std::string value = eq == std::string::npos ? "x" : entry.substr(eq + 1) + "\n";
            std::replace(value.begin(), value.end(), '~', ' ');
            test::writeFile(path, value);
        }
    }
    return root;
}

const std::string acOff = "AC/type=Mains AC/online=0 ";
const std::string bat0 = "BAT0/type=Battery BAT0/present=1 ";

} // namespace

TEST(LinuxSysfs, PowerSuppliesReadAsOneBatteryAndItsSource) {
    const std::optional<int> none;
    const struct {
        std::string tree;
        std::optional<int> percent;
        bool onAC;
        bool said = true;
    } cases[] = {
        {"", none, true},
        {acOff + bat0 +
             "BAT0/status=Discharging BAT0/energy_now=41250000 BAT0/energy_full=55000000 "
             "BAT0/charge_now=1 BAT0/charge_full=2 BAT0/capacity=99",
         75, false},
        // Energy, then charge, then capacity; a full value of 0 falls through.
        {acOff + bat0 + "BAT0/charge_now=3100000 BAT0/charge_full=6200000 BAT0/capacity=40", 50, false},
        {acOff + bat0 + "BAT0/energy_now=10 BAT0/energy_full=0 BAT0/capacity=37", 37, false},
        {acOff + bat0 + "BAT0/energy_now=garbage", none, false},
        {acOff + bat0 + "BAT0/energy_now=9223372036854775807 BAT0/energy_full=1", none, false},
        // UPS, peripheral batteries, empty slots, stray entries do not count.
        {"0-ups/type=UPS 0-ups/capacity=12 ADP1/type=Mains ADP1/online=1 BAT1/type=Battery BAT1/capacity=100",
         100, true},
        {"hid-mouse/type=Battery hid-mouse/scope=Device hid-mouse/capacity=30 macsmc/type=Battery "
         "macsmc/scope=System macsmc/status=Discharging macsmc/capacity=64",
         64, false},
        {"AA-stray AB-no-type/ AC/type=Mains AC/online=1 BAT0/type=Battery BAT0/present=0 "
         "BAT1/type=Battery BAT1/capacity=81",
         81, true},
        // Without a mains or USB supply only the battery's status tells; with one, any online is enough.
        {bat0 + "BAT0/status=Not~charging BAT0/capacity=50", 50, true},
        {bat0 + "BAT0/status=Full BAT0/capacity=100 AC/type=Mains", 100, true},
        // A status that says nothing, or none, with no supply saying whether it is online: no source.
        {bat0 + "BAT0/status=Unknown BAT0/capacity=12 AC/type=Mains AC/online=N/A", 12, false, false},
        {bat0 + "BAT0/charge_now=75 BAT0/charge_full=1000", 8, false, false},
        // A gauge a little past its last full charge is full; far past it is out of range.
        {acOff + bat0 + "BAT0/charge_now=1040 BAT0/charge_full=1000", 100, false},
        {acOff + bat0 + "BAT0/energy_now=1060 BAT0/energy_full=1000", 106, false},
        {acOff + bat0 + "BAT0/status=Discharging BAT0/capacity=255", 255, false},
        {bat0 + "BAT0/status=Discharging BAT0/capacity=50 usb/type=USB usb/online=0", 50, false},
        {bat0 + "BAT0/capacity=50 usb/type=USB usb/online=2 pd/type=USB_PD pd/online=0", 50, true},
        // Two batteries are one: 80 % of 24 Wh and 20 % of 72 Wh hold 33.6 of 96 Wh.
        {acOff + bat0 +
             "BAT0/energy_now=19200000 BAT0/energy_full=24000000 BAT1/type=Battery "
             "BAT1/energy_now=14400000 BAT1/energy_full=72000000",
         35, false},
        {bat0 + "BAT0/status=Discharging BAT0/capacity=30 BAT1/type=Battery BAT1/status=Charging "
                "BAT1/charge_now=9 BAT1/charge_full=10",
         60, true},
    };
    for (const auto& c : cases) {
        const auto root = layOut(c.tree);
        EXPECT_EQ(PowerState::from(LinuxPowerSources(root->path()).snapshot()),
                  (PowerState{c.percent, c.onAC, !c.tree.empty(), !c.tree.empty() && c.said}))
            << c.tree;
    }
}

TEST(LinuxSysfs, CapsLockLeds) {
    ::unsetenv("DISPLAY"); // no X server may answer here
    const struct {
        std::string tree;
        std::optional<bool> led;
    } cases[] = {
        {"", std::nullopt},
        {"input3::numlock/brightness=1 input3::capslock-but-not/brightness=1 input4::capslock/ "
         "input5::capslock/brightness=garbage",
         std::nullopt},
        {"input3::numlock/brightness=1 input3::capslock/brightness=0", false},
        {"input3::capslock/brightness=0 input7::capslock/brightness=255", true},
    };
    for (const auto& c : cases) {
        const auto root = layOut(c.tree);
        LinuxKeyboardState keyboard(root->path());
        EXPECT_EQ(keyboard.ledState(), c.led) << c.tree;
        EXPECT_EQ(keyboard.capsLockOn(), c.led.value_or(false)) << c.tree;
    }
}

// Values no laptop reaches, error codes passed through as values and text are no reading; with none
// left the temperature is unknown, never a made-up 0 °C that would lift the heat guard.
TEST(LinuxSysfs, ThermalZonesOutsideThePlausibleRangeAreNoReading) {
    const std::string pkg = "thermal_zone0/type=x86_pkg_temp thermal_zone0/temp=";
    const struct {
        std::string tree;
        std::optional<int> celsius;
    } cases[] = {
        {pkg + "-1", std::nullopt},
        {pkg + "-22 thermal_zone1/type=acpitz thermal_zone1/temp=N/A", std::nullopt},
        {pkg + "150001 thermal_zone1/type=acpitz thermal_zone1/temp=-40001", std::nullopt},
        {pkg + "150000 thermal_zone1/type=acpitz thermal_zone1/temp=-40000", 150},
        {pkg + "-5000", -5},
    };
    for (const auto& c : cases) {
        const auto root = layOut(c.tree);
        EXPECT_EQ(LinuxThermalSensor(root->path()).celsius(), c.celsius) << c.tree;
    }
}
