#include "app/core/VirtualMainLoop.hpp"
#include "app/platform/linux/LinuxLidSensor.hpp"
#include "app/platform/linux/LogindPowerAssertions.hpp"
#include "app/power/PowerManager.hpp"
#include "common/Subprocess.hpp"
#include "tests/fakes/FakeLogind.hpp"

#include <gtest/gtest.h>

using namespace torvane;
using namespace std::chrono_literals;

namespace {

// The power manager on the real logind ports.
struct PowerManagerOnLogind : ::testing::Test {
    test::FakeLogind logind;
    test::TempDir shared;
    test::TempDir noAcpi;
    VirtualMainLoop loop;
    LogindPowerAssertions assertions;
    LinuxLidSensor lid{noAcpi.path()};
    PowerManager manager{loop, assertions, lid, RequestChannel(shared.path())};
};

} // namespace

TEST_F(PowerManagerOnLogind, CarryModeHoldsAnIdleAndASleepBlockUntilItEndsNotLongerThroughAChild) {
    manager.apply(true);
    const auto calls = logind.inhibitCalls();
    ASSERT_EQ(calls.size(), 2u);
    for (const auto& [call, what, why] : {std::tuple{calls[0], "idle", "Torvane: 持ち運びモード"},
                                          {calls[1], "sleep", "Torvane: ふたを閉じても動作を継続"}}) {
        EXPECT_EQ(call.what, what);
        EXPECT_EQ(call.who, "Torvane");
        EXPECT_EQ(call.why, why);
        EXPECT_EQ(call.mode, "block");
    }
    EXPECT_EQ(logind.heldCount(), 2u);
    // A child that outlives the release (as a tmux server would) must not hold a lock open.
    const test::TempDir dir;
    test::writeExecutable(dir / "linger", "#!/bin/sh\n(sleep 5 <&- >&- 2>&- &)\n");
    ASSERT_TRUE(runSubprocess((dir / "linger").string(), {}, {.timeLimit = 10s}).ok());

    manager.apply(false);
    EXPECT_TRUE(logind.waitForRelease(0, 2000ms));
    EXPECT_TRUE(logind.waitForRelease(1, 2000ms));
}

