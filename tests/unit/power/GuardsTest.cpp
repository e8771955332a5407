// The carry-mode guards and the policy over them as pure functions over one reading per evaluation:
// each case is a sequence of readings and the trace of what was made of them ("." for nothing).
#include "app/power/CarryPolicy.hpp"
#include "app/power/OutputWatch.hpp"

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

// Carry mode on for ten minutes unless said otherwise, Caps Lock on, the setting on, tmux there.
struct Work {
    std::optional<std::int64_t> quiet{}; // absent: no listing, or tmux did not answer
    bool active = true;
    int activeFor = 600;
    bool capsLockOn = true, enabled = true, tmux = true;
};

// "?" after an entry: a fresh listing is wanted.
Trace workTrace(const std::vector<Work>& readings) {
    WorkDoneGuard guard;
    Trace trace;
    for (const Work& w : readings) {
        const auto r = guard.update(
            {w.enabled, w.capsLockOn, w.active, w.tmux, w.quiet, std::chrono::seconds(w.activeFor)});
        trace.push_back(std::string(r.change == WorkDoneGuard::Change::released    ? "released"
                                    : r.change == WorkDoneGuard::Change::recovered ? "recovered"
                                                                                   : ".") +
                        (r.wantsListing ? "?" : ""));
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

TEST(WorkDoneGuard, TenQuietMinutesReleaseUntilNewOutputAndNoAnswerChangesNothing) {
    EXPECT_EQ(workTrace({{599}, {std::nullopt}, {600}, {900, false}, {std::nullopt, false}, {3, false}}),
              (Trace{".?", ".?", "released?", ".?", ".?", "recovered?"}));
}

TEST(WorkDoneGuard, CapsLockOffOrTheSettingOffLiftsItAndNothingIsAskedWhenTheAnswerCannotCount) {
    const Work capsOff{.quiet = 900, .active = false, .capsLockOn = false};
    const Work settingOff{.quiet = 900, .active = false, .enabled = false};
    EXPECT_EQ(workTrace({{600}, capsOff, capsOff}), (Trace{"released?", "recovered", "."}));
    EXPECT_EQ(workTrace({{600}, settingOff}), (Trace{"released?", "recovered"}));
    EXPECT_EQ(workTrace({settingOff, {.quiet = 900, .tmux = false}, {900, false}}), (Trace{".", ".", "."}));
}

namespace {

// Caps Lock on, in front, on mains at 80 %, 70 °C, unless a step says otherwise. With `at`, the work
// guard is on and no session listed, `at` seconds into the test.
struct Step {
    bool capsLockOn = true, paused = false, inFront = true, mains = true;
    int percent = 80, celsius = 70;
    std::optional<int> at{};
};

// "!" after an entry: the decision changed.
Trace policyTrace(const std::vector<Step>& steps) {
    static const char* reasons[] = {"on", "paused", "session", "battery", "heat", "work", "capsOff"};
    CarryPolicy policy;
    Trace trace;
    for (const Step& s : steps) {
        CarryInputs in{.capsLockOn = s.capsLockOn,
                       .sessionActive = s.inFront,
                       .paused = s.paused,
                       .power = battery(s.percent, s.mains),
                       .celsius = s.celsius};
        if (s.at) {
            in.releaseWhenIdle = in.tmuxAvailable = true;
            in.quietSeconds = std::numeric_limits<std::int64_t>::max();
            in.now = BootSeconds(3'600'000 + *s.at);
        }
        const CarryDecision d = policy.decide(in);
        trace.push_back(std::string(reasons[static_cast<int>(d.reason)]) + (d.changed ? "!" : ""));
    }
    return trace;
}

} // namespace

TEST(CarryPolicy, CarryModeFollowsCapsLockUnlessTheFirstReasonThatAppliesHoldsItOff) {
    EXPECT_EQ(
        policyTrace({{},
                     {.capsLockOn = false},
                     {.capsLockOn = false, .mains = false, .percent = 5},
                     {.paused = true, .mains = false, .percent = 5},
                     {.inFront = false, .mains = false, .percent = 5},
                     {.mains = false, .percent = 20},
                     {.celsius = 95},
                     {.celsius = 95},
                     {.celsius = 81},
                     {.celsius = 80}}),
        (Trace{"on!", "capsOff!", "battery", "paused", "session", "on!", "on", "heat!", "heat", "on!"}));
}

// No session at all: the quiet time counts from when carry mode came on, each time it comes on.
TEST(CarryPolicy, WorkCountsAsDoneOnlyTenMinutesAfterCarryModeCameOn) {
    EXPECT_EQ(policyTrace({{.at = 0},
                           {.at = 599},
                           {.at = 600},
                           {.capsLockOn = false, .at = 700},
                           {.at = 1000},
                           {.at = 1600}}),
              (Trace{"on!", "on", "work!", "capsOff", "on!", "work!"}));
}

// tmux tells the last output by the wall clock; a step of it neither ages new output nor freshens old.
TEST(OutputWatch, QuietTimeFollowsTheBootClockWhateverTheWallClockDoes) {
    const SystemTime wall0 = SystemTime{} + std::chrono::hours(500'000);
    const auto at = [&](int seconds) { return wall0 + std::chrono::seconds(seconds); };
    const auto session = [](std::string name, SystemTime lastOutput) {
        AgentSession s;
        s.name = std::move(name);
        s.lastOutput = lastOutput;
        return s;
    };
    OutputWatch watch;
    const auto listing = [&](SystemTime job, SystemTime agent, SystemTime wallNow, double boot) {
        watch.see({session("job", job), session("agent", agent)}, wallNow, BootSeconds(boot));
        return watch.quietSeconds(BootSeconds(boot));
    };
    EXPECT_EQ(watch.quietSeconds(BootSeconds(0)), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(listing(at(-100), at(-300), at(0), 1000), 100);
    EXPECT_EQ(listing(at(-100), at(-300), at(3600 + 15), 1015), 115) << "stepped an hour ahead";
    // New output stamped before the clock went back an hour: placed at the listing before, the earliest.
    EXPECT_EQ(listing(at(3620), at(-300), at(30), 1030), 15);
    EXPECT_EQ(listing(at(3620), at(-300), at(630), 1630), 615);
    // A session first seen printing "in the future" counts as quiet from then on.
    watch.see({session("new", at(900))}, at(0), BootSeconds(2000));
    EXPECT_EQ(watch.quietSeconds(BootSeconds(2600)), 600);
}
