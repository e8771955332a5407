#include "app/power/PowerManager.hpp"

#include "tests/fakes/FakePowerAssertions.hpp"
#include "tests/fakes/TestSupport.hpp"
#include "tests/fakes/VirtualMainLoop.hpp"

#include <gtest/gtest.h>

using namespace torvane;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using Ids = std::vector<AssertionID>;

namespace {

const std::string onWithHelper = "持ち運びモード ON（ふた閉じ抑止: 有効（ヘルパー経由））";

struct PowerManagerWithFakePorts : ::testing::Test {
    test::TempDir dir;
    VirtualMainLoop loop;
    test::FakePowerAssertions assertions;
    test::LogCapture log;
    std::filesystem::path request = dir / "request";
    PowerManager manager{loop, assertions, RequestChannel(dir.path())};

    // Marks the request so that any later write shows.
    void mark() { test::writeFile(request, "x"); }
};

} // namespace

TEST_F(PowerManagerWithFakePorts, OnOffAndTheHeartbeatInTheirOrder) {
    // The end (shutdown) is checked where the app quits: AppDelegateTest.QuittingWhileActive…
    manager.apply(true);
    manager.apply(true); // the current mode again: nothing at all
    ASSERT_EQ(assertions.created.size(), 2u);
    EXPECT_EQ(assertions.created[0].type, PowerAssertions::noIdleSleep);
    EXPECT_EQ(assertions.created[1].type, PowerAssertions::preventSleep);
    EXPECT_EQ(test::readFile(request), "1");

    mark();
    loop.advance(4.9s);
    EXPECT_EQ(test::readFile(request), "x");
    loop.advance(0.1s); // the heartbeat, silent
    EXPECT_EQ(test::readFile(request), "1");

    manager.apply(false);
    EXPECT_EQ(test::readFile(request), "0");
    EXPECT_EQ(assertions.released, (Ids{2, 1})); // the lid lock first
    EXPECT_EQ(log.lines(), (Lines{onWithHelper, "持ち運びモード OFF（通常の電源設定に戻す）"}))
        << "one line for each change; the heartbeat and the repeated wish are silent";
}

TEST_F(PowerManagerWithFakePorts, RefusedLocksAreLoggedWithSignedCodesAndCarryModeStillHolds) {
    assertions.idleRefusal = static_cast<std::int32_t>(0xE00002C2u);
    assertions.lidRefusal = -13;
    manager.apply(true);
    EXPECT_EQ(log.lines(),
              (Lines{"WARN: logind の抑止ロックの取得に失敗しました (code -536870206)",
                     "INFO: InternalPreventSleep を取得できませんでした (code -13)", onWithHelper}));
    EXPECT_EQ(test::readFile(request), "1");
}
