#include "app/power/CapsLockMonitor.hpp"

#include "tests/fakes/FakeKeyboardState.hpp"
#include "tests/fakes/VirtualMainLoop.hpp"

#include <gtest/gtest.h>

using namespace torvane;
using namespace std::chrono_literals;
using Changes = std::vector<bool>;

TEST(CapsLockMonitor, ReportsEachEdgeOnceWithinAQuarterSecondAndNothingAfterStop) {
    VirtualMainLoop loop;
    test::FakeKeyboardState keyboard;
    keyboard.on = true;
    CapsLockMonitor monitor(loop, keyboard);
    Changes changes;
    monitor.onChange = [&](bool on) {
        EXPECT_EQ(monitor.isOn, on); // stored before the call
        changes.push_back(on);
    };
    monitor.start(); // the state found at start is taken, not reported
    EXPECT_TRUE(monitor.isOn);
    loop.advance(1s);
    keyboard.on = false;
    loop.advance(0.25s);
    loop.advance(3s); // held off: nothing more
    EXPECT_EQ(changes, Changes{false});
    keyboard.on = true;
    loop.advance(0.25s);
    EXPECT_EQ(changes, (Changes{false, true}));

    monitor.stop();
    keyboard.on = false;
    loop.advance(5s);
    EXPECT_EQ(changes, (Changes{false, true}));
    EXPECT_EQ(loop.pendingCount(), 0u);
}
