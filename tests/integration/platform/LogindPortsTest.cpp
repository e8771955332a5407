#include "app/platform/linux/LinuxLidSensor.hpp"
#include "app/platform/linux/LogindPowerAssertions.hpp"
#include "common/Subprocess.hpp"
#include "tests/fakes/FakeLogind.hpp"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>

using namespace torvane;
using namespace std::chrono_literals;

TEST(LogindPowerAssertions, TakesBlockInhibitorsNamedAfterTheAssertionAndReleasesThem) {
    test::FakeLogind logind;
    LogindPowerAssertions assertions;

    const AssertionResult idle = assertions.create("NoIdleSleepAssertion", "Torvane: 持ち運びモード");
    const AssertionResult sleep =
        assertions.create("InternalPreventSleep", "Torvane: ふたを閉じても動作を継続");
    ASSERT_TRUE(idle.ok()) << idle.code;
    ASSERT_TRUE(sleep.ok()) << sleep.code;
    EXPECT_NE(idle.identifier, sleep.identifier);

    const auto calls = logind.inhibitCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].what, "idle");
    EXPECT_EQ(calls[0].who, "Torvane");
    EXPECT_EQ(calls[0].why, "Torvane: 持ち運びモード");
    EXPECT_EQ(calls[0].mode, "block");
    EXPECT_EQ(calls[1].what, "sleep");
    EXPECT_EQ(calls[1].why, "Torvane: ふたを閉じても動作を継続");
    EXPECT_EQ(calls[1].mode, "block");
    EXPECT_TRUE(logind.isHeld(0));
    EXPECT_TRUE(logind.isHeld(1));

    // The lock is the fd we hold, and no child process may inherit it.
    const int flags = ::fcntl(static_cast<int>(idle.identifier), F_GETFD);
    ASSERT_NE(flags, -1);
    EXPECT_NE(flags & FD_CLOEXEC, 0);

    assertions.release(sleep.identifier);
    EXPECT_TRUE(logind.waitForRelease(1));
    EXPECT_TRUE(logind.isHeld(0));        // the other one untouched
    assertions.release(sleep.identifier); // twice: ignored, closes nothing else
    EXPECT_TRUE(logind.isHeld(0));
    assertions.release(idle.identifier);
    EXPECT_TRUE(logind.waitForRelease(0));
    EXPECT_EQ(assertions.heldCount(), 0u);
}

TEST(LogindPowerAssertions, LocksStillHeldGoWithTheObject) {
    test::FakeLogind logind;
    {
        LogindPowerAssertions assertions;
        ASSERT_TRUE(assertions.create("NoIdleSleepAssertion", "Torvane: 持ち運びモード").ok());
        EXPECT_TRUE(logind.isHeld(0));
    }
    EXPECT_TRUE(logind.waitForRelease(0));
}

TEST(LogindPowerAssertions, ChildProcessesDoNotKeepALock) {
    test::FakeLogind logind;
    LogindPowerAssertions assertions;
    const AssertionResult idle = assertions.create("NoIdleSleepAssertion", "Torvane: 持ち運びモード");
    ASSERT_TRUE(idle.ok());
    // A child that outlives the release (as a tmux server would) must not hold the lock open.
    const test::TempDir dir;
    test::writeExecutable(dir / "linger", "#!/bin/sh\n(sleep 5 <&- >&- 2>&- &)\n");
    ASSERT_TRUE(runSubprocess((dir / "linger").string(), {}, {.timeLimit = 10s}).ok());
    assertions.release(idle.identifier);
    EXPECT_TRUE(logind.waitForRelease(0, 2000ms));
}

TEST(LogindPowerAssertions, RefusalGivesTheNegativeErrnoOfTheDbusError) {
    test::FakeLogind logind;
    logind.refuseInhibit();
    LogindPowerAssertions assertions;
    EXPECT_EQ(assertions.create("NoIdleSleepAssertion", "x").code, -EACCES);
    logind.refuseInhibit("org.freedesktop.DBus.Error.InvalidArgs", "bad");
    EXPECT_EQ(assertions.create("InternalPreventSleep", "x").code, -EINVAL);
    logind.grantInhibit();
    EXPECT_TRUE(assertions.create("InternalPreventSleep", "x").ok());
    EXPECT_EQ(assertions.heldCount(), 1u);
}

TEST(LogindPowerAssertions, WithoutLogindTheCodeIsMinusTwo) {
    {
        test::PrivateSystemBus bus; // a bus, but nobody serves logind on it
        LogindPowerAssertions assertions;
        EXPECT_EQ(assertions.create("NoIdleSleepAssertion", "x").code, -2);
    }
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/torvane-test-bus", 1);
    LogindPowerAssertions assertions;
    EXPECT_EQ(assertions.create("NoIdleSleepAssertion", "x").code, -2);
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST(LogindPowerAssertions, UnknownKindIsRefusedWithoutAsking) {
    test::FakeLogind logind;
    LogindPowerAssertions assertions;
    EXPECT_EQ(assertions.create("PreventUserIdleDisplaySleep", "x").code, -EINVAL);
    EXPECT_TRUE(logind.inhibitCalls().empty());
}

TEST(LinuxLidSensor, ReadsLogindAndFallsBackToAcpiWithoutIt) {
    test::TempDir acpi;
    std::filesystem::create_directories(acpi / "LID");
    test::writeFile(acpi / "LID" / "state", "state:      closed\n");
    LinuxLidSensor sensor(acpi.path());
    {
        test::FakeLogind logind;
        EXPECT_FALSE(sensor.lidClosed()); // logind answers, so its "open" wins
        logind.setLidClosed(true);
        EXPECT_TRUE(sensor.lidClosed());
        logind.setLidClosed(false);
        EXPECT_FALSE(sensor.lidClosed());
    }
    {
        test::PrivateSystemBus bus;
        EXPECT_TRUE(sensor.lidClosed()); // from the ACPI file
    }
    // A logind that comes back (on a new bus) is found again by the same sensor.
    test::FakeLogind logind;
    logind.setLidClosed(false);
    EXPECT_FALSE(sensor.lidClosed());
}

TEST(LogindPowerAssertions, ReconnectsAfterTheBusRestarts) {
    LogindPowerAssertions assertions;
    {
        test::FakeLogind first;
        EXPECT_TRUE(assertions.create("NoIdleSleepAssertion", "x").ok());
    }
    test::FakeLogind second;
    EXPECT_TRUE(assertions.create("NoIdleSleepAssertion", "x").ok());
    EXPECT_EQ(second.inhibitCalls().size(), 1u);
}
