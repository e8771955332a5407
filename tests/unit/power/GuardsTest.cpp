// The carry-mode guards as pure functions over one reading per evaluation: each case is a sequence of
// readings and the trace of what the guard made of them ("." for nothing).
#include "app/power/BatteryGuard.hpp"
#include "app/power/HeatGuard.hpp"

#include <gtest/gtest.h>

using namespace torvane;

namespace {

using Trace = std::vector<std::string>;

// On battery unless `ac`; `said` false: nothing says where the power comes from.
PowerState battery(std::optional<int> percent, bool ac = false, bool said = true) {
    return {percent, ac, true, said};
}
const PowerState nothingListed{std::nullopt, true, false, false};
const std::optional<int> unread;

Trace batteryTrace(const std::vector<PowerState>& readings) {
    BatteryGuard guard;
    Trace trace;
    for (const PowerState& reading : readings) {
        const auto [change, cause] = guard.update(reading, 20);
        static const char* causes[] = {"belowFloor", "unreadable", "outOfRange", "unclearSource"};
        trace.push_back(change == BatteryGuard::Change::none        ? "."
                        : change == BatteryGuard::Change::recovered ? "recovered"
                                                                    : causes[static_cast<int>(cause)]);
    }
    return trace;
}

struct Heat {
    std::optional<int> celsius;
    bool active = true;
};

Trace heatTrace(const std::vector<Heat>& readings) {
    HeatGuard guard;
    Trace trace;
    for (const Heat& reading : readings) {
        const auto r = guard.update(reading.celsius, 90, reading.active);
        const std::string at = r.celsius ? " " + std::to_string(*r.celsius) : "";
        trace.push_back(r.change == HeatGuard::Change::released    ? "released" + at
                        : r.change == HeatGuard::Change::recovered ? "recovered" + at
                        : r.lost                                   ? "lost"
                                                                   : ".");
    }
    return trace;
}

} // namespace

TEST(BatteryGuard, BlindReadingsOnBatteryReleaseAtTheSecondEvaluationAndHoldUntilASoundOne) {
    EXPECT_EQ(batteryTrace({battery(unread), battery(unread), battery(unread), battery(25)}),
              (Trace{".", "unreadable", ".", "recovered"}));
    EXPECT_EQ(batteryTrace({battery(255), battery(-1), battery(100)}),
              (Trace{".", "outOfRange", "recovered"}));
    EXPECT_EQ(batteryTrace({battery(12, false, false), battery(12, false, false), battery(60, false, false)}),
              (Trace{".", "unclearSource", "recovered"}));
    // A sound reading in between starts the count again; one on battery below the floor acts at once.
    EXPECT_EQ(batteryTrace({battery(unread), battery(50), battery(unread), battery(19), battery(unread),
                            battery(255), battery(19), battery(20)}),
              (Trace{".", ".", ".", "belowFloor", ".", ".", ".", "recovered"}));
    // A battery that vanishes is one that cannot be read; a machine that never showed one is never held.
    EXPECT_EQ(batteryTrace({battery(50), nothingListed, nothingListed}), (Trace{".", ".", "unreadable"}));
    EXPECT_EQ(batteryTrace({nothingListed, nothingListed, {std::nullopt, false, false, true}}),
              (Trace{".", ".", "."}));
}

TEST(BatteryGuard, MainsThatSaysItIsOnlineNeverReleasesAndLiftsAnyRelease) {
    EXPECT_EQ(
        batteryTrace({battery(unread, true), battery(255, true), battery(5, true), battery(unread, true)}),
        (Trace{".", ".", ".", "."}));
    EXPECT_EQ(batteryTrace({battery(5), battery(unread, true)}), (Trace{"belowFloor", "recovered"}));
    // An ambiguous charge above the floor is above it either way.
    EXPECT_EQ(batteryTrace({battery(60, false, false), battery(60, false, false), battery(60, false, false)}),
              (Trace{".", ".", "."}));
}

TEST(HeatGuard, TwoOfTheLastThreeActiveReadingsAtTheLimitReleaseUntilTenDegreesBelow) {
    EXPECT_EQ(heatTrace({{96}, {84}, {96}, {81}, {96}, {96}, {80}}),
              (Trace{".", ".", "released 96", ".", ".", ".", "recovered 80"}))
        << "hot again at every other evaluation";
    EXPECT_EQ(heatTrace({{95}, {80}, {80}, {95}, {80}, {80}, {90}}),
              (Trace{".", ".", ".", ".", ".", ".", "."}));
    // Readings while carry mode is off do not count, and start the count again.
    EXPECT_EQ(heatTrace({{96, false}, {96}, {80}, {96, false}, {96}, {90}}),
              (Trace{".", ".", ".", ".", ".", "released 90"}));
}

TEST(HeatGuard, AZoneThatVanishesCountsAsItsLastReadingForTwoEvaluationsThenAsUnknownOnce) {
    EXPECT_EQ(heatTrace({{95}, {unread}, {unread}, {unread}, {unread}, {79}}),
              (Trace{".", "released 95", ".", "lost", ".", "recovered 79"}));
    EXPECT_EQ(heatTrace({{70}, {unread}, {unread}, {unread}, {70}, {unread}, {unread}, {unread}}),
              (Trace{".", ".", ".", "lost", ".", ".", ".", "lost"}));
    EXPECT_EQ(heatTrace({{unread}, {unread}, {unread}, {unread}}), (Trace{".", ".", ".", "."}))
        << "no sensor ever: nothing was lost";
}
