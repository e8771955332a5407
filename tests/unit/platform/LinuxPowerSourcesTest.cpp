#include "app/platform/linux/LinuxPowerSources.hpp"

#include "app/power/PowerState.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <gtest/gtest.h>
#include <map>

using namespace torvane;

namespace {

using Attributes = std::map<std::string, std::string>;

// A power_supply class directory as the kernel lays it out (values end in a line feed).
struct SupplyTree {
    test::TempDir dir;

    void add(const std::string& name, const Attributes& attributes) {
        std::filesystem::create_directories(dir / name);
        for (const auto& [key, value] : attributes)
            test::writeFile(dir / name / key, value + "\n");
    }
    PowerSnapshot snapshot() { return LinuxPowerSources(dir.path()).snapshot(); }
    PowerState state() { return PowerState::from(snapshot()); }
};

const Attributes mainsOnline{{"type", "Mains"}, {"online", "1"}};
const Attributes mainsOffline{{"type", "Mains"}, {"online", "0"}};

Attributes energyBattery(const std::string& status) {
    return {{"type", "Battery"},        {"status", status},          {"present", "1"},
            {"energy_now", "41250000"}, {"energy_full", "55000000"}, {"charge_now", "1"},
            {"charge_full", "2"},       {"capacity", "99"}};
}

} // namespace

TEST(LinuxPowerSources, LaptopOnBatteryAndOnAC) {
    SupplyTree tree;
    tree.add("AC", mainsOffline);
    tree.add("BAT0", energyBattery("Discharging"));
    EXPECT_EQ(tree.state(), (PowerState{75, false}));
    EXPECT_EQ(tree.state().description(), "バッテリー駆動・75%");

    tree.add("AC", mainsOnline);
    tree.add("BAT0", energyBattery("Charging"));
    EXPECT_EQ(tree.state(), (PowerState{75, true}));
}

TEST(LinuxPowerSources, DescribesEverySupplyInNameOrderWithTheSameKeys) {
    SupplyTree tree;
    tree.add("BAT0", energyBattery("Discharging"));
    tree.add("AC", mainsOffline);
    const PowerSnapshot snapshot = tree.snapshot();
    ASSERT_EQ(snapshot.sources.size(), 2u);
    EXPECT_EQ(snapshot.sources[0],
              (PowerDescription{{"Name", std::string("AC")}, {"Type", std::string("Mains")}}));
    EXPECT_EQ(snapshot.sources[1], (PowerDescription{{"Name", std::string("BAT0")},
                                                     {"Type", std::string("InternalBattery")},
                                                     {"Current Capacity", std::int64_t{41250000}},
                                                     {"Max Capacity", std::int64_t{55000000}},
                                                     {"Power Source State", std::string("Battery Power")}}));
}

TEST(LinuxPowerSources, DesktopWithNothingFallsBack) {
    SupplyTree tree;
    EXPECT_TRUE(tree.snapshot().sources.empty());
    EXPECT_EQ(tree.state(), (PowerState{std::nullopt, true}));
    // No class directory at all (a container) is the same.
    EXPECT_EQ(PowerState::from(LinuxPowerSources(tree.dir / "missing").snapshot()),
              (PowerState{std::nullopt, true}));
    // A desktop with only its mains supply listed.
    tree.add("ACAD", mainsOnline);
    EXPECT_EQ(tree.state(), (PowerState{std::nullopt, true}));
}

TEST(LinuxPowerSources, UpsListedBeforeTheBatteryIsSkipped) {
    SupplyTree tree;
    tree.add("0-ups", {{"type", "UPS"}, {"status", "Discharging"}, {"capacity", "12"}, {"online", "1"}});
    tree.add("ADP1", mainsOnline);
    tree.add("BAT1", {{"type", "Battery"}, {"status", "Full"}, {"capacity", "100"}});
    ASSERT_EQ(std::get<std::string>(tree.snapshot().sources[0]->at("Type")), "UPS");
    EXPECT_EQ(tree.state(), (PowerState{100, true}));
}

TEST(LinuxPowerSources, PeripheralBatteryDoesNotCount) {
    SupplyTree tree;
    tree.add("hid-00:11:22:33:44:55-battery",
             {{"type", "Battery"}, {"scope", "Device"}, {"status", "Discharging"}, {"capacity", "30"}});
    EXPECT_EQ(tree.state(), (PowerState{std::nullopt, true}));
    EXPECT_EQ(std::get<std::string>(tree.snapshot().sources[0]->at("Type")), "Battery");

    // With the laptop's own battery after it, that one is used.
    tree.add("macsmc-battery",
             {{"type", "Battery"}, {"scope", "System"}, {"status", "Discharging"}, {"capacity", "64"}});
    EXPECT_EQ(tree.state(), (PowerState{64, false}));
}

TEST(LinuxPowerSources, PrefersEnergyThenChargeThenCapacity) {
    SupplyTree tree;
    tree.add("AC", mainsOffline);
    tree.add("BAT0", {{"type", "Battery"},
                      {"status", "Discharging"},
                      {"charge_now", "3100000"},
                      {"charge_full", "6200000"},
                      {"capacity", "40"}});
    EXPECT_EQ(tree.state().percent, 50);

    tree.add("BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"capacity", "37"}});
    std::filesystem::remove(tree.dir / "BAT0" / "charge_now");
    std::filesystem::remove(tree.dir / "BAT0" / "charge_full");
    EXPECT_EQ(tree.state().percent, 37);

    // A gauge whose full value reads 0 falls through to the next pair.
    tree.add("BAT0", {{"type", "Battery"}, {"energy_now", "10"}, {"energy_full", "0"}});
    EXPECT_EQ(tree.state().percent, 37);

    // Nothing readable: a battery without a percent, its source state still reported.
    tree.add("BAT1", {{"type", "Battery"}, {"status", "Discharging"}, {"energy_now", "garbage"}});
    std::filesystem::remove_all(tree.dir / "BAT0");
    EXPECT_EQ(tree.state(), (PowerState{std::nullopt, false}));
}

TEST(LinuxPowerSources, ExternalPowerFromMainsOrUsbElseTheBatteryStatus) {
    SupplyTree tree;
    tree.add("BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"capacity", "50"}});
    EXPECT_FALSE(tree.state().onAC);
    tree.add("BAT0", {{"type", "Battery"}, {"status", "Not charging"}, {"capacity", "50"}});
    EXPECT_TRUE(tree.state().onAC); // no external supply listed: only the status tells

    tree.add("ucsi-source-psy-USBC000:001", {{"type", "USB"}, {"online", "0"}});
    EXPECT_FALSE(tree.state().onAC); // an external supply is listed and offline
    tree.add("ucsi-source-psy-USBC000:001", {{"type", "USB"}, {"online", "2"}});
    EXPECT_TRUE(tree.state().onAC);
    tree.add("tcpm-source-psy", {{"type", "USB_PD"}, {"online", "0"}});
    EXPECT_TRUE(tree.state().onAC); // any one online is enough
}

TEST(LinuxPowerSources, EmptyBatterySlotAndUnreadableEntriesAreSkipped) {
    SupplyTree tree;
    tree.add("AC", mainsOnline);
    tree.add("BAT0", {{"type", "Battery"}, {"present", "0"}});
    tree.add("BAT1", {{"type", "Battery"}, {"present", "1"}, {"capacity", "81"}});
    test::writeFile(tree.dir / "AA-stray-file", "not a supply");
    std::filesystem::create_directories(tree.dir / "AB-no-type");
    const PowerSnapshot snapshot = tree.snapshot();
    ASSERT_EQ(snapshot.sources.size(), 5u);
    EXPECT_FALSE(snapshot.sources[0].has_value());
    EXPECT_FALSE(snapshot.sources[1].has_value());
    EXPECT_EQ(tree.state(), (PowerState{81, true}));
}
