#include "app/platform/linux/LinuxKeyboardState.hpp"
#include "app/platform/linux/LinuxLidSensor.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace torvane;

namespace {

void addLed(const test::TempDir& leds, const std::string& name, const std::string& brightness) {
    std::filesystem::create_directories(leds / name);
    test::writeFile(leds / name / "brightness", brightness + "\n");
}

// No X server may answer in these tests.
struct LinuxKeyboardWithoutDisplay : ::testing::Test {
    void SetUp() override {
        if (const char* display = std::getenv("DISPLAY"))
            saved_ = display;
        ::unsetenv("DISPLAY");
    }
    void TearDown() override {
        if (saved_)
            ::setenv("DISPLAY", saved_->c_str(), 1);
    }
    std::optional<std::string> saved_;
};

} // namespace

TEST_F(LinuxKeyboardWithoutDisplay, CapsLockFollowsAnyCapsLockLed) {
    test::TempDir leds;
    addLed(leds, "input3::numlock", "1");
    addLed(leds, "input3::capslock", "0");
    addLed(leds, "input7::capslock", "0");
    LinuxKeyboardState keyboard(leds.path());
    EXPECT_EQ(keyboard.ledState(), false);
    EXPECT_FALSE(keyboard.capsLockOn());

    test::writeFile(leds / "input7::capslock" / "brightness", "1\n");
    EXPECT_TRUE(keyboard.capsLockOn());
    test::writeFile(leds / "input7::capslock" / "brightness", "0\n");
    test::writeFile(leds / "input3::capslock" / "brightness", "255\n");
    EXPECT_TRUE(keyboard.capsLockOn());
}

TEST_F(LinuxKeyboardWithoutDisplay, WithoutCapsLockLedOrDisplayItIsOff) {
    test::TempDir leds;
    addLed(leds, "input3::numlock", "1");
    addLed(leds, "input3::capslock-but-not", "1");
    LinuxKeyboardState keyboard(leds.path());
    EXPECT_EQ(keyboard.ledState(), std::nullopt);
    EXPECT_EQ(keyboard.xkbState(), std::nullopt);
    EXPECT_FALSE(keyboard.capsLockOn());
    EXPECT_FALSE(LinuxKeyboardState(leds / "missing").capsLockOn());
}

TEST_F(LinuxKeyboardWithoutDisplay, UnreadableLedBrightnessDoesNotCount) {
    test::TempDir leds;
    std::filesystem::create_directories(leds / "input3::capslock"); // no brightness file
    addLed(leds, "input4::capslock", "garbage");
    EXPECT_EQ(LinuxKeyboardState(leds.path()).ledState(), std::nullopt);
}

TEST(LinuxLidSensor, AcpiLidStateFile) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/torvane-test-bus", 1);
    test::TempDir lid;
    LinuxLidSensor sensor(lid.path());
    EXPECT_FALSE(sensor.lidClosed()); // no lid button at all: open

    std::filesystem::create_directories(lid / "LID0");
    test::writeFile(lid / "LID0" / "state", "state:      open\n");
    EXPECT_FALSE(sensor.lidClosed());
    std::filesystem::create_directories(lid / "LID1");
    test::writeFile(lid / "LID1" / "state", "state:      closed\n");
    EXPECT_TRUE(sensor.lidClosed());
    test::writeFile(lid / "LID1" / "state", "garbage closed\n");
    EXPECT_FALSE(sensor.lidClosed());
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}
