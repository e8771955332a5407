#include "app/power/PowerState.hpp"

#include "tests/fakes/FakePowerSources.hpp"
#include "tests/fakes/ScopedShared.hpp"

#include <gtest/gtest.h>

using namespace torvane;

namespace {

PowerDescription battery(std::int64_t current, std::int64_t maximum, std::string state = "Battery Power") {
    return {{"Type", std::string("InternalBattery")},
            {"Current Capacity", current},
            {"Max Capacity", maximum},
            {"Power Source State", std::move(state)}};
}

PowerState stateOf(std::vector<std::optional<PowerDescription>> sources) {
    return PowerState::from(PowerSnapshot{std::move(sources)});
}

} // namespace

TEST(PowerState, NoSourcesOrOnlyOtherKindsFallBackToMainsWithoutPercent) {
    const PowerState fallback{std::nullopt, true};
    EXPECT_EQ(stateOf({}), fallback);
    EXPECT_EQ(stateOf({std::nullopt}), fallback);
    EXPECT_EQ(stateOf({PowerDescription{{"Type", std::string("UPS")},
                                        {"Current Capacity", std::int64_t{50}},
                                        {"Max Capacity", std::int64_t{100}}}}),
              fallback);
    EXPECT_EQ(stateOf({}).description(), "常時電源（バッテリー未検出）");
}

TEST(PowerState, SkipsOtherTypesAndUnreadableSourcesBeforeTheInternalBattery) {
    const PowerState state = stateOf({std::nullopt,
                                      PowerDescription{{"Type", std::string("UPS")},
                                                       {"Current Capacity", std::int64_t{10}},
                                                       {"Max Capacity", std::int64_t{100}},
                                                       {"Power Source State", std::string("AC Power")}},
                                      battery(73, 100)});
    EXPECT_EQ(state, (PowerState{73, false}));
}

TEST(PowerState, ChoosesTheFirstSourceThatDoesNotSayItIsSomethingElse) {
    // No "Type", or one that is not text, is taken at once, even when a battery follows.
    EXPECT_EQ(
        stateOf({PowerDescription{{"Current Capacity", std::int64_t{5}}, {"Max Capacity", std::int64_t{10}}},
                 battery(90, 100, "AC Power")}),
        (PowerState{50, false}));
    EXPECT_EQ(stateOf({PowerDescription{{"Type", std::int64_t{3}}}, battery(90, 100, "AC Power")}),
              (PowerState{std::nullopt, false}));
    EXPECT_EQ(stateOf({PowerDescription{}, battery(90, 100, "AC Power")}), (PowerState{std::nullopt, false}));
}

TEST(PowerState, ReadsOnACOnlyFromTheExactTextACPower) {
    EXPECT_TRUE(stateOf({battery(42, 100, "AC Power")}).onAC);
    EXPECT_FALSE(stateOf({battery(42, 100, "ac power")}).onAC);
    EXPECT_FALSE(stateOf({battery(42, 100, "Battery Power")}).onAC);
    PowerDescription notText = battery(42, 100);
    notText["Power Source State"] = true;
    EXPECT_FALSE(stateOf({notText}).onAC);
    PowerDescription missing = battery(42, 100);
    missing.erase("Power Source State");
    EXPECT_FALSE(stateOf({missing}).onAC);
}

TEST(PowerState, RoundsHalvesAwayFromZeroWithoutClamping) {
    EXPECT_EQ(stateOf({battery(1, 200)}).percent, 1);       // 0.5
    EXPECT_EQ(stateOf({battery(1, 300)}).percent, 0);       // 0.33
    EXPECT_EQ(stateOf({battery(199, 200)}).percent, 100);   // 99.5
    EXPECT_EQ(stateOf({battery(1249, 10000)}).percent, 12); // 12.49
    EXPECT_EQ(stateOf({battery(-1, 200)}).percent, -1);     // -0.5
    EXPECT_EQ(stateOf({battery(150, 100)}).percent, 150);
}

TEST(PowerState, CapacitiesThatCannotGiveAPercentLeaveItAbsent) {
    EXPECT_EQ(stateOf({battery(50, 0, "AC Power")}), (PowerState{std::nullopt, true}));
    EXPECT_EQ(stateOf({battery(50, -5)}), (PowerState{std::nullopt, false}));
    PowerDescription textual = battery(50, 100);
    textual["Current Capacity"] = std::string("50");
    EXPECT_EQ(stateOf({textual}).percent, std::nullopt);
    PowerDescription noMax = battery(50, 100);
    noMax.erase("Max Capacity");
    EXPECT_EQ(stateOf({noMax}).percent, std::nullopt);
    EXPECT_EQ(stateOf({noMax}).description(), "常時電源（バッテリー未検出）");
    // A gauge reporting nonsense must not overflow the conversion.
    EXPECT_EQ(stateOf({battery(std::numeric_limits<std::int64_t>::max(), 1)}).percent, std::nullopt);
    EXPECT_EQ(stateOf({battery(std::numeric_limits<std::int64_t>::min(), 1)}).percent, std::nullopt);
}

TEST(PowerState, DescribesChargeAndSource) {
    EXPECT_EQ((PowerState{85, false}).description(), "バッテリー駆動・85%");
    EXPECT_EQ((PowerState{100, true}).description(), "電源接続あり・100%");
    EXPECT_EQ((PowerState{-3, false}).description(), "バッテリー駆動・-3%");
    EXPECT_EQ((PowerState{std::nullopt, false}).description(), "常時電源（バッテリー未検出）");
}

TEST(PowerState, CurrentReadsTheSharedSourcesAfresh) {
    test::FakePowerSources sources;
    test::ScopedShared<PowerSources> installed(sources);
    sources.set({{battery(30, 60, "AC Power")}});
    EXPECT_EQ(PowerState::current(), (PowerState{50, true}));
    sources.set({{battery(15, 60)}});
    EXPECT_EQ(PowerState::current(), (PowerState{25, false}));
}
