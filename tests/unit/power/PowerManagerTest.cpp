#include "app/power/PowerManager.hpp"

#include "app/core/VirtualMainLoop.hpp"
#include "tests/fakes/FakeLidSensor.hpp"
#include "tests/fakes/FakePowerAssertions.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace torvane;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using LidMechanism = PowerManager::LidMechanism;

namespace {

const std::string onWithHelper = "持ち運びモード ON（ふた閉じ抑止: 有効（ヘルパー経由））";
const std::string onUnconfirmed = "持ち運びモード ON（ふた閉じ抑止: \u26a0\ufe0f 未確認（ヘルパー未導入））";
const std::string offLine = "持ち運びモード OFF（通常の電源設定に戻す）";
const std::string helperMissing = "WARN: ヘルパーが未導入です。ふたを閉じるとスリープします。 "
                                  "メニューの「ふた閉じ抑止を有効にする」から導入してください";

struct PowerManagerWithFakePorts : ::testing::Test {
    test::TempDir dir;
    VirtualMainLoop loop;
    test::FakePowerAssertions assertions;
    test::FakeLidSensor lid;
    test::LogCapture log;
    std::filesystem::path request = dir / "request";

    // Marks the request so that any later write shows.
    void mark() { test::writeFile(request, "x"); }
};

} // namespace

TEST_F(PowerManagerWithFakePorts, ActivationTakesBothLocksWritesTheRequestAndLogsTheHelperMechanism) {
    PowerManager manager(loop, assertions, lid, RequestChannel(dir.path()));
    manager.apply(true);

    ASSERT_EQ(assertions.created.size(), 2u);
    EXPECT_EQ(assertions.created[0].type, "NoIdleSleepAssertion");
    EXPECT_EQ(assertions.created[0].name, "Torvane: 持ち運びモード");
    EXPECT_EQ(assertions.created[1].type, "InternalPreventSleep");
    EXPECT_EQ(assertions.created[1].name, "Torvane: ふたを閉じても動作を継続");
    EXPECT_EQ(assertions.held.size(), 2u);
    EXPECT_EQ(test::readFile(request), "1");
    EXPECT_TRUE(manager.isActive());
    EXPECT_EQ(manager.lidMechanism(), LidMechanism::helper);
    EXPECT_EQ(log.lines(), Lines{onWithHelper});
}

TEST_F(PowerManagerWithFakePorts, RefusedLocksAreLoggedAsSignedCodesAndTheDaemonIsStillAsked) {
    assertions.idleRefusal = static_cast<std::int32_t>(0xE00002C2u);
    assertions.lidRefusal = -13;
    PowerManager manager(loop, assertions, lid, RequestChannel(dir.path()));
    manager.apply(true);

    EXPECT_EQ(log.lines(),
              (Lines{"WARN: IOPMAssertion の取得に失敗しました (code -536870206)",
                     "INFO: InternalPreventSleep を取得できませんでした (code -13)", onWithHelper}));
    EXPECT_TRUE(manager.isActive());
    EXPECT_EQ(test::readFile(request), "1");
    EXPECT_EQ(loop.pendingCount(), 1u); // the heartbeat runs

    // Nothing was held, so nothing is released; the next activation asks again.
    manager.apply(false);
    EXPECT_TRUE(assertions.released.empty());
    assertions.idleRefusal = 0;
    assertions.lidRefusal = 0;
    manager.apply(true);
    EXPECT_EQ(assertions.held.size(), 2u);
}

TEST_F(PowerManagerWithFakePorts, UnwritableDirectoryMeansUnconfirmedWithoutRequestOrHeartbeat) {
    assertions.lidRefusal = -2;
    PowerManager manager(loop, assertions, lid, RequestChannel(dir / "absent"));
    manager.apply(true);

    EXPECT_EQ(log.lines(), (Lines{"INFO: InternalPreventSleep を取得できませんでした (code -2)",
                                  helperMissing, onUnconfirmed}));
    EXPECT_EQ(manager.lidMechanism(), LidMechanism::unconfirmed);
    EXPECT_TRUE(manager.isActive());
    EXPECT_FALSE(manager.canWriteRequest());
    EXPECT_EQ(manager.helperStatus(), HelperStatus::notInstalled);
    EXPECT_EQ(loop.pendingCount(), 0u);
    EXPECT_FALSE(std::filesystem::exists(dir / "absent"));
    EXPECT_EQ(assertions.held.size(), 1u); // the app's own idle lock still holds
}

TEST_F(PowerManagerWithFakePorts, ApplyingTheCurrentModeDoesNothingAtAll) {
    PowerManager manager(loop, assertions, lid, RequestChannel(dir.path()));
    manager.apply(false); // inactive already: no "0" written
    EXPECT_FALSE(std::filesystem::exists(request));
    EXPECT_TRUE(log.lines().empty());

    manager.apply(true);
    mark();
    log.clear();
    manager.apply(true);
    EXPECT_EQ(test::readFile(request), "x");
    EXPECT_EQ(assertions.created.size(), 2u);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(loop.pendingCount(), 1u); // still one heartbeat, not two
}

TEST_F(PowerManagerWithFakePorts, DeactivationUndoesEverythingInReverse) {
    PowerManager manager(loop, assertions, lid, RequestChannel(dir.path()));
    manager.apply(true);
    log.clear();
    manager.apply(false);

    EXPECT_EQ(test::readFile(request), "0");
    EXPECT_EQ(assertions.released, (std::vector<AssertionID>{2, 1})); // lid lock first
    EXPECT_TRUE(assertions.held.empty());
    EXPECT_EQ(manager.lidMechanism(), LidMechanism::none);
    EXPECT_FALSE(manager.isActive());
    EXPECT_EQ(loop.pendingCount(), 0u);
    EXPECT_EQ(log.lines(), Lines{offLine});

    mark();
    loop.advance(20s); // no heartbeat left
    EXPECT_EQ(test::readFile(request), "x");
}

TEST_F(PowerManagerWithFakePorts, HeartbeatRewritesTheRequestEveryFiveSeconds) {
    PowerManager manager(loop, assertions, lid, RequestChannel(dir.path()));
    manager.apply(true);
    for (int tick = 0; tick < 3; ++tick) {
        mark();
        loop.advance(4.9s);
        EXPECT_EQ(test::readFile(request), "x") << "tick " << tick;
        loop.advance(0.1s);
        EXPECT_EQ(test::readFile(request), "1") << "tick " << tick;
    }
    EXPECT_EQ(log.lines(), Lines{onWithHelper}); // the heartbeat itself logs nothing
}

TEST_F(PowerManagerWithFakePorts, HeartbeatThatCannotWriteWarnsEachTimeAndKeepsTheMechanism) {
    const std::filesystem::path shared = dir / "shared";
    std::filesystem::create_directory(shared);
    PowerManager manager(loop, assertions, lid, RequestChannel(shared));
    manager.apply(true);
    std::filesystem::remove_all(shared);
    log.clear();
    loop.advance(10s);
    const std::string warning =
        "WARN: 要求ファイルを書けません: " + (shared / "request").string() + ": No such file or directory";
    EXPECT_EQ(log.lines(), (Lines{warning, warning}));
    EXPECT_EQ(manager.lidMechanism(), LidMechanism::helper);
    EXPECT_TRUE(manager.isActive());
}

TEST_F(PowerManagerWithFakePorts, LidHookFiresOnlyOnAnOpenToClosedEdgeSeenByTwoTicks) {
    PowerManager manager(loop, assertions, lid, RequestChannel(dir.path()));
    int calls = 0;
    manager.onLidClosedWhileActive = [&] { ++calls; };

    lid.closed = true; // closed already at activation: not a closing
    manager.apply(true);
    loop.advance(10s);
    EXPECT_EQ(calls, 0);

    lid.closed = false; // opened and closed again between two ticks: the opening is never seen
    loop.advance(2s);
    lid.closed = true;
    loop.advance(3s);
    EXPECT_EQ(calls, 0);

    lid.closed = false;
    loop.advance(5s); // seen open
    lid.closed = true;
    loop.advance(5s); // seen closed
    EXPECT_EQ(calls, 1);
    loop.advance(15s); // stays closed
    EXPECT_EQ(calls, 1);
}

TEST_F(PowerManagerWithFakePorts, LidHookIsNotCalledWhileInactiveOrWithoutTheHelper) {
    {
        PowerManager unconfirmed(loop, assertions, lid, RequestChannel(dir / "absent"));
        int calls = 0;
        unconfirmed.onLidClosedWhileActive = [&] { ++calls; };
        unconfirmed.apply(true);
        lid.closed = true;
        loop.advance(10s);
        EXPECT_EQ(calls, 0);
    }
    lid.closed = false;
    PowerManager manager(loop, assertions, lid, RequestChannel(dir.path()));
    int calls = 0;
    manager.onLidClosedWhileActive = [&] { ++calls; };
    manager.apply(true);
    manager.apply(false);
    lid.closed = true;
    loop.advance(10s);
    EXPECT_EQ(calls, 0);
}

TEST_F(PowerManagerWithFakePorts, ShutdownWritesZeroAndReleasesBothLocksSilently) {
    PowerManager manager(loop, assertions, lid, RequestChannel(dir.path()));
    manager.apply(true);
    log.clear();
    manager.shutdown();
    EXPECT_EQ(test::readFile(request), "0");
    EXPECT_EQ(assertions.released, (std::vector<AssertionID>{2, 1}));
    EXPECT_FALSE(manager.isActive());
    EXPECT_EQ(manager.lidMechanism(), LidMechanism::none);
    EXPECT_EQ(loop.pendingCount(), 0u);
    EXPECT_TRUE(log.lines().empty());

    // Again after a normal stop: "0" once more, nothing to release.
    mark();
    manager.shutdown();
    EXPECT_EQ(test::readFile(request), "0");
    EXPECT_EQ(assertions.released.size(), 2u);
}

TEST_F(PowerManagerWithFakePorts, ShutdownLeavesZeroEvenWhenNeverActive) {
    PowerManager manager(loop, assertions, lid, RequestChannel(dir.path()));
    manager.shutdown();
    EXPECT_EQ(test::readFile(request), "0");
    EXPECT_TRUE(assertions.released.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(PowerManagerWithFakePorts, DestroyingAnActiveManagerReleasesItsLocksAndStopsTheHeartbeat) {
    {
        PowerManager manager(loop, assertions, lid, RequestChannel(dir.path()));
        manager.apply(true);
    }
    EXPECT_TRUE(assertions.held.empty());
    EXPECT_EQ(loop.pendingCount(), 0u);
    mark();
    loop.advance(10s);
    EXPECT_EQ(test::readFile(request), "x");
}

TEST(PowerManager, LidMechanismDescriptions) {
    EXPECT_EQ(description(LidMechanism::helper), "ふた閉じ抑止: 有効（ヘルパー経由）");
    EXPECT_EQ(description(LidMechanism::unconfirmed), "ふた閉じ抑止: \u26a0\ufe0f 未確認（ヘルパー未導入）");
    EXPECT_EQ(description(LidMechanism::none), "ふた閉じ抑止: 無効");
}
