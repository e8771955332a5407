#include "app/core/VirtualMainLoop.hpp"
#include "app/platform/linux/LinuxLidSensor.hpp"
#include "app/platform/linux/LogindPowerAssertions.hpp"
#include "app/power/PowerManager.hpp"
#include "tests/fakes/FakeLogind.hpp"

#include <gtest/gtest.h>

using namespace torvane;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

namespace {

const std::string onWithHelper = "持ち運びモード ON（ふた閉じ抑止: 有効（ヘルパー経由））";

// The power manager on the real logind ports, talking to a stand-in logind on a private bus.
struct PowerManagerOnLogind : ::testing::Test {
    test::FakeLogind logind;
    test::TempDir shared;
    test::TempDir noAcpi;
    VirtualMainLoop loop;
    LogindPowerAssertions assertions;
    LinuxLidSensor lid{noAcpi.path()};
    test::LogCapture log;
    PowerManager manager{loop, assertions, lid, RequestChannel(shared.path())};
};

} // namespace

TEST_F(PowerManagerOnLogind, CarryModeHoldsAnIdleAndASleepInhibitorUntilItEnds) {
    manager.apply(true);
    const auto calls = logind.inhibitCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].what, "idle");
    EXPECT_EQ(calls[0].who, "Torvane");
    EXPECT_EQ(calls[0].why, "Torvane: 持ち運びモード");
    EXPECT_EQ(calls[0].mode, "block");
    EXPECT_EQ(calls[1].what, "sleep");
    EXPECT_EQ(calls[1].who, "Torvane");
    EXPECT_EQ(calls[1].why, "Torvane: ふたを閉じても動作を継続");
    EXPECT_EQ(calls[1].mode, "block");
    EXPECT_EQ(logind.heldCount(), 2u);
    EXPECT_EQ(log.lines(), Lines{onWithHelper});

    manager.apply(false);
    EXPECT_TRUE(logind.waitForRelease(0));
    EXPECT_TRUE(logind.waitForRelease(1));
    EXPECT_EQ(test::readFile(shared / "request"), "0");
}

TEST_F(PowerManagerOnLogind, AccessDeniedIsLoggedWithTheNegativeErrno) {
    logind.refuseInhibit();
    manager.apply(true);
    EXPECT_EQ(log.lines(),
              (Lines{"WARN: IOPMAssertion の取得に失敗しました (code -13)",
                     "INFO: InternalPreventSleep を取得できませんでした (code -13)", onWithHelper}));
    EXPECT_TRUE(manager.isActive());
    EXPECT_EQ(test::readFile(shared / "request"), "1");

    // Granted again: the next activation takes both.
    logind.grantInhibit();
    manager.apply(false);
    manager.apply(true);
    EXPECT_EQ(logind.heldCount(), 2u);
}

TEST_F(PowerManagerOnLogind, HeartbeatSeesTheLidCloseThroughLogind) {
    int calls = 0;
    manager.onLidClosedWhileActive = [&] { ++calls; };
    manager.apply(true);
    loop.advance(5s);
    logind.setLidClosed(true);
    loop.advance(5s);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(manager.isLidClosed());
    loop.advance(10s);
    EXPECT_EQ(calls, 1);
}
