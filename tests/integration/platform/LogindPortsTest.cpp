#include "app/platform/linux/LinuxLidSensor.hpp"
#include "app/platform/linux/LogindPowerAssertions.hpp"
#include "tests/fakes/FakeLogind.hpp"

#include <cerrno>
#include <gtest/gtest.h>

using namespace torvane;

// Refusals and a missing logind come back as negative errno values, and nothing is held after them.
TEST(LogindPowerAssertions, RefusalsMissingLogindAndUnknownKindsGiveNegativeErrnos) {
    {
        test::FakeLogind logind; // refuses every lock
        LogindPowerAssertions assertions;
        EXPECT_EQ(assertions.create("PreventUserIdleDisplaySleep", "x").code, -EINVAL);
        EXPECT_EQ(assertions.create(PowerAssertions::noIdleSleep, "x").code, -EACCES);
        EXPECT_EQ(assertions.heldCount(), 0u);
    }
    test::PrivateBus bus; // a bus, but nobody serves logind on it
    EXPECT_EQ(LogindPowerAssertions().create(PowerAssertions::noIdleSleep, "x").code, -2);
}

// The lid: logind's LidClosed while it answers, the ACPI file without it, logind again once it is back
// (the bus connection is found again after a restart).
TEST(LinuxLidSensor, ReadsLogindAndFallsBackToAcpiWithoutIt) {
    test::TempDir acpi;
    std::filesystem::create_directories(acpi / "LID");
    test::writeFile(acpi / "LID" / "state", "state:      closed\n");
    LinuxLidSensor sensor(acpi.path());
    {
        test::FakeLogind logind;
        EXPECT_FALSE(sensor.lidClosed());
        logind.setLidClosed(true);
        EXPECT_TRUE(sensor.lidClosed());
    }
    {
        test::PrivateBus bus;
        EXPECT_TRUE(sensor.lidClosed());
    }
    test::FakeLogind logind;
    EXPECT_FALSE(sensor.lidClosed());
}
