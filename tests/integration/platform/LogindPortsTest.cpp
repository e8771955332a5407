#include "app/platform/linux/LogindPowerAssertions.hpp"
#include "app/platform/linux/LogindSessionActivity.hpp"
#include "tests/fakes/FakeLogind.hpp"
#include "tests/fakes/VirtualMainLoop.hpp"

#include <cerrno>
#include <gtest/gtest.h>

using namespace torvane;

// Refusals and a missing logind come back as negative errno values, and nothing is held after them; a
// logind that comes back is found again (the connection is dropped after a failure).
TEST(LogindPowerAssertions, RefusalsMissingLogindAndUnknownKindsGiveNegativeErrnos) {
    LogindPowerAssertions assertions;
    {
        test::FakeLogind logind; // refuses every lock
        EXPECT_EQ(assertions.create("PreventUserIdleDisplaySleep", "x").code, -EINVAL);
        EXPECT_EQ(assertions.create(PowerAssertions::noIdleSleep, "x").code, -EACCES);
        EXPECT_EQ(assertions.heldCount(), 0u);
    }
    {
        test::PrivateBus bus; // a bus, but nobody serves logind on it
        EXPECT_EQ(assertions.create(PowerAssertions::noIdleSleep, "x").code, -2);
    }
    test::FakeLogind logind;
    EXPECT_EQ(assertions.create(PowerAssertions::noIdleSleep, "x").code, -EACCES);
}

// The session is this process's own, else the user's display session; its Active follows logind's
// PropertiesChanged. A bus that goes away counts as active, and the session is followed again on the
// next bus; without logind it is active all along, and the log says why once.
TEST(LogindSessionActivity, FollowsItsSessionAndCountsAsActiveWhenLogindCannotTell) {
    using namespace std::chrono_literals;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/torvane-test-bus", 1); // between buses
    VirtualMainLoop loop;
    test::LogCapture log;
    const auto reaches = [&](const SessionActivity& activity, bool active) {
        return test::waitFor([&] {
            loop.runPosted();
            return activity.isActive() == active;
        });
    };
    const auto serve = [](const std::string& caller, const std::string& display) {
        auto logind = std::make_unique<test::FakeLogind>(std::vector<std::string>{"c1", "c2"});
        logind->setCallerSession(caller);
        logind->setDisplaySession(display);
        logind->setSessionActive("c1", false);
        return logind;
    };
    {
        auto logind = serve("c1", "c2");
        LogindSessionActivity own(loop, 2s, 100ms);
        int changes = 0;
        own.onChange([&] { ++changes; });
        EXPECT_TRUE(reaches(own, false));
        logind->setSessionActive("c1", true);
        EXPECT_TRUE(reaches(own, true));
        logind->setSessionActive("c1", false);
        EXPECT_TRUE(reaches(own, false));
        EXPECT_EQ(changes, 3);

        logind.reset();
        EXPECT_TRUE(reaches(own, true)) << "a stale \"inactive\" outlived the bus";
        logind = serve("c1", "c2");
        EXPECT_TRUE(reaches(own, false)) << "the new bus was not followed";
    }
    {
        auto logind = serve("", "c2"); // started outside every session
        logind->setSessionActive("c2", false);
        LogindSessionActivity service(loop, 2s, 100ms);
        EXPECT_TRUE(reaches(service, false));
        logind->setSessionActive("c2", true);
        EXPECT_TRUE(reaches(service, true));
    }
    const std::string noLogind =
        "INFO: systemd-logind が見つからないため、ユーザーの切り替えを確かめずに動作します";
    test::PrivateBus bus;
    loop.runPosted();
    log.clear();
    {
        LogindSessionActivity without(loop, 2s, 100ms);
        EXPECT_TRUE(test::waitFor([&] {
            loop.runPosted();
            return log.contains(noLogind);
        }));
        EXPECT_TRUE(without.isActive());
    }
    loop.runPosted();
    EXPECT_EQ(log.lines(), std::vector<std::string>{noLogind});
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}
