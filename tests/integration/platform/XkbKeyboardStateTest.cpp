#include "app/platform/linux/LinuxKeyboardState.hpp"
#include "tests/fakes/TestSupport.hpp"
#include "tests/fakes/XvfbServer.hpp"

#include <gtest/gtest.h>
#include <thread>

using namespace torvane;
using namespace std::chrono_literals;

// Without a Caps Lock LED the X server decides: a key press, reads from two threads at once on the one
// connection, a server that goes away (the process must survive it) and one that comes back.
TEST(XkbKeyboardState, FollowsTheServerAcrossThreadsAndSurvivesItsLoss) {
    const test::TempDir noLeds;
    auto x = std::make_unique<test::Xvfb>();
    const int number = x->number();
    LinuxKeyboardState keyboard(noLeds.path(), x->name(), 0ms);
    EXPECT_FALSE(keyboard.capsLockOn());
    x->pressCapsLock();
    ASSERT_TRUE(test::waitFor([&] { return keyboard.capsLockOn(); }));

    int wrong = 0;
    std::thread phoneLink([&] {
        for (int i = 0; i < 300; ++i)
            EXPECT_TRUE(keyboard.capsLockOn());
    });
    for (int i = 0; i < 300; ++i)
        wrong += !keyboard.capsLockOn();
    phoneLink.join();
    EXPECT_EQ(wrong, 0);

    x.reset();
    EXPECT_FALSE(keyboard.capsLockOn());
    test::Xvfb again(number);
    again.pressCapsLock();
    EXPECT_TRUE(test::waitFor([&] { return keyboard.capsLockOn(); }));
    again.pressCapsLock();
    EXPECT_TRUE(test::waitFor([&] { return !keyboard.capsLockOn(); }));
}
