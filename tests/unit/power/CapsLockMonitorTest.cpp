#include "app/power/CapsLockMonitor.hpp"

#include "app/core/VirtualMainLoop.hpp"
#include "tests/fakes/FakeKeyboardState.hpp"
#include "tests/fakes/ScopedShared.hpp"

#include <gtest/gtest.h>
#include <vector>

using namespace torvane;
using namespace std::chrono_literals;

namespace {

struct CapsLockMonitorOnVirtualTime : ::testing::Test {
    VirtualMainLoop loop;
    test::FakeKeyboardState keyboard;
    CapsLockMonitor monitor{loop, keyboard};
    std::vector<bool> changes;

    void SetUp() override {
        monitor.onChange = [this](bool on) {
            EXPECT_EQ(monitor.isOn, on); // stored before the call
            changes.push_back(on);
        };
    }
};

} // namespace

TEST_F(CapsLockMonitorOnVirtualTime, StartTakesTheStateAlreadyOnWithoutNotifying) {
    keyboard.on = true;
    EXPECT_EQ(keyboard.reads, 0); // construction reads nothing and starts nothing
    EXPECT_EQ(loop.pendingCount(), 0u);
    monitor.start();
    EXPECT_TRUE(monitor.isOn);
    loop.advance(2s);
    EXPECT_TRUE(changes.empty());
}

TEST_F(CapsLockMonitorOnVirtualTime, NotifiesOncePerEdgeWithinOneInterval) {
    monitor.start();
    loop.advance(1s);
    keyboard.on = true;
    loop.advance(0.25s);
    EXPECT_EQ(changes, std::vector<bool>{true});
    loop.advance(3s); // held on: nothing more
    EXPECT_EQ(changes, std::vector<bool>{true});
    keyboard.on = false;
    loop.advance(0.25s);
    EXPECT_EQ(changes, (std::vector<bool>{true, false}));
    EXPECT_FALSE(monitor.isOn);
}

TEST_F(CapsLockMonitorOnVirtualTime, PollsEveryQuarterSecond) {
    monitor.start();
    const int afterStart = keyboard.reads;
    loop.advance(0.24s);
    EXPECT_EQ(keyboard.reads, afterStart);
    loop.advance(0.01s);
    EXPECT_EQ(keyboard.reads, afterStart + 1);
    loop.advance(1s);
    EXPECT_EQ(keyboard.reads, afterStart + 5);
}

TEST_F(CapsLockMonitorOnVirtualTime, ToggleBetweenTwoPollsGoesUnseen) {
    monitor.start();
    loop.advance(0.25s);
    keyboard.on = true;
    loop.advance(0.1s);
    keyboard.on = false;
    loop.advance(0.15s);
    EXPECT_TRUE(changes.empty());
    EXPECT_FALSE(monitor.isOn);
}

TEST_F(CapsLockMonitorOnVirtualTime, NothingAfterStopAndIsOnKeepsItsValue) {
    monitor.start();
    keyboard.on = true;
    loop.advance(0.25s);
    monitor.stop();
    EXPECT_EQ(loop.pendingCount(), 0u);
    keyboard.on = false;
    loop.advance(5s);
    EXPECT_TRUE(monitor.isOn);
    EXPECT_EQ(changes, std::vector<bool>{true});
}

TEST(CapsLockMonitor, DestroyedMonitorIsNeverPolled) {
    VirtualMainLoop loop;
    test::FakeKeyboardState keyboard;
    {
        CapsLockMonitor monitor(loop, keyboard);
        monitor.start();
    }
    const int reads = keyboard.reads;
    loop.advance(2s);
    EXPECT_EQ(keyboard.reads, reads);
}

TEST(CapsLockMonitor, CurrentStateAndTheDefaultMonitorUseTheSharedKeyboard) {
    test::FakeKeyboardState keyboard;
    test::ScopedShared<KeyboardState> installed(keyboard);
    EXPECT_FALSE(CapsLockMonitor::currentState());
    keyboard.on = true;
    EXPECT_TRUE(CapsLockMonitor::currentState());

    VirtualMainLoop loop;
    CapsLockMonitor monitor(loop);
    monitor.start();
    EXPECT_TRUE(monitor.isOn);
}
