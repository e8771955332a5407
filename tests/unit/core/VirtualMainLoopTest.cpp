#include <gtest/gtest.h>

#include "app/core/VirtualMainLoop.hpp"

using namespace torvane;

TEST(VirtualMainLoop, RepeatingTimerFiresOncePerIntervalAndStopsWhenItsHandleDies) {
    VirtualMainLoop loop;
    int ticks = 0;
    auto handle = loop.repeating(MainLoop::Seconds{0.25}, [&] { ++ticks; });
    loop.advance(MainLoop::Seconds{0.24});
    EXPECT_EQ(ticks, 0);
    loop.advance(MainLoop::Seconds{0.01});
    EXPECT_EQ(ticks, 1);
    loop.advance(MainLoop::Seconds{4.75}); // 20 x 0.25 in all, despite floating-point sums
    EXPECT_EQ(ticks, 20);
    handle.reset();
    loop.advance(MainLoop::Seconds{10});
    EXPECT_EQ(ticks, 20);
}

TEST(VirtualMainLoop, OneShotRunsOnceInTimeOrderAndMayCancelOthers) {
    VirtualMainLoop loop;
    std::vector<std::string> order;
    TimerHandle late = loop.once(MainLoop::Seconds{2}, [&] { order.push_back("late"); });
    TimerHandle early = loop.once(MainLoop::Seconds{1}, [&] {
        order.push_back("early");
        late.reset();
    });
    TimerHandle tick = loop.repeating(MainLoop::Seconds{0.4}, [&] { order.push_back("tick"); });
    loop.advance(MainLoop::Seconds{3});
    EXPECT_EQ(order, (std::vector<std::string>{"tick", "tick", "early", "tick", "tick", "tick", "tick", "tick"}));
    EXPECT_EQ(loop.pendingCount(), 1u);
}

TEST(VirtualMainLoop, ACallbackMayDestroyItsOwnHandle) {
    VirtualMainLoop loop;
    int calls = 0;
    TimerHandle self;
    self = loop.repeating(MainLoop::Seconds{1}, [&] {
        ++calls;
        self.reset();
    });
    loop.advance(MainLoop::Seconds{5});
    EXPECT_EQ(calls, 1);
}
