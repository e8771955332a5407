#include "app/platform/linux/LinuxKeyboardState.hpp"
#include "tests/fakes/TestSupport.hpp"
#include "tests/integration/platform/XvfbServer.hpp"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace torvane;
using namespace std::chrono_literals;
using test::Xvfb;

namespace {

std::size_t openFdCount() {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

struct XkbKeyboardState : ::testing::Test {
    test::TempDir noLeds; // no Caps Lock LED, so the X server decides
};

} // namespace

TEST_F(XkbKeyboardState, CapsLockKeyTurnsTheStateOnAndOff) {
    Xvfb x;
    LinuxKeyboardState keyboard(noLeds.path(), x.name());
    EXPECT_FALSE(keyboard.capsLockOn());
    x.pressCapsLock();
    EXPECT_TRUE(test::waitFor([&] { return keyboard.capsLockOn(); }));
    EXPECT_EQ(keyboard.xkbState(), true);
    x.pressCapsLock();
    EXPECT_TRUE(test::waitFor([&] { return !keyboard.capsLockOn(); }));
}

TEST_F(XkbKeyboardState, ALedWhenPresentDecidesOverTheXServer) {
    Xvfb x;
    x.pressCapsLock();
    test::TempDir leds;
    std::filesystem::create_directories(leds / "input3::capslock");
    test::writeFile(leds / "input3::capslock" / "brightness", "0\n");
    LinuxKeyboardState keyboard(leds.path(), x.name());
    ASSERT_TRUE(test::waitFor([&] { return keyboard.xkbState() == true; }));
    EXPECT_FALSE(keyboard.capsLockOn());
}

TEST_F(XkbKeyboardState, OneConnectionServesEveryThread) {
    Xvfb x;
    x.pressCapsLock();
    LinuxKeyboardState keyboard(noLeds.path(), x.name());
    ASSERT_TRUE(test::waitFor([&] { return keyboard.capsLockOn(); }));
    const std::size_t fds = openFdCount();

    std::atomic<int> wrong{0};
    auto reader = [&] {
        for (int i = 0; i < 300; ++i)
            if (!keyboard.capsLockOn())
                ++wrong;
    };
    std::thread phoneLink(reader);
    reader();
    phoneLink.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(openFdCount(), fds);
}

TEST_F(XkbKeyboardState, ServerThatGoesAwayReadsAsOffAndIsReconnectedLater) {
    auto x = std::make_unique<Xvfb>();
    const int number = x->number();
    x->pressCapsLock();
    LinuxKeyboardState keyboard(noLeds.path(), x->name(), 0ms);
    ASSERT_TRUE(test::waitFor([&] { return keyboard.capsLockOn(); }));

    x.reset(); // the process must survive this
    EXPECT_FALSE(keyboard.capsLockOn());
    EXPECT_EQ(keyboard.xkbState(), std::nullopt);

    Xvfb again(number);
    again.pressCapsLock();
    EXPECT_TRUE(test::waitFor([&] { return keyboard.capsLockOn(); }));
}

TEST_F(XkbKeyboardState, FailedConnectionIsRetriedOnlyAfterTheInterval) {
    // Find a display number nobody serves, then serve it after the first failed attempt.
    auto probe = std::make_unique<Xvfb>();
    const int number = probe->number();
    probe.reset();
    LinuxKeyboardState keyboard(noLeds.path(), ":" + std::to_string(number), 1h);
    EXPECT_EQ(keyboard.xkbState(), std::nullopt);
    Xvfb x(number);
    x.pressCapsLock();
    EXPECT_EQ(keyboard.xkbState(), std::nullopt); // still inside the interval: not even tried
}
