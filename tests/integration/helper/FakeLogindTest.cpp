#include "tests/fakes/FakeLogind.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace torvane;

namespace {

std::unique_ptr<sdbus::IProxy> managerProxy(sdbus::IConnection& connection) {
    return sdbus::createProxy(connection, test::FakeLogind::serviceName, test::FakeLogind::objectPath);
}

sdbus::UnixFd inhibit(sdbus::IProxy& proxy, const std::string& what) {
    sdbus::UnixFd fd;
    proxy.callMethod("Inhibit")
        .onInterface(test::FakeLogind::managerInterface)
        .withArguments(what, std::string("tester"), std::string("because"), std::string("block"))
        .storeResultsTo(fd);
    return fd;
}

} // namespace

TEST(FakeLogind, HandsOutLocksThatItSeesReleasedAndRecordsEachCall) {
    test::FakeLogind logind;
    ASSERT_STREQ(std::getenv("DBUS_SYSTEM_BUS_ADDRESS"), logind.bus().address().c_str());
    auto connection = sdbus::createSystemBusConnection();
    auto proxy = managerProxy(*connection);

    auto first = inhibit(*proxy, "sleep");
    auto second = inhibit(*proxy, "idle");
    ASSERT_TRUE(first.isValid());
    EXPECT_EQ(logind.heldCount(), 2u);

    first.reset();
    EXPECT_TRUE(logind.waitForRelease(0));
    EXPECT_TRUE(logind.isHeld(1));

    const auto calls = logind.inhibitCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].what, "sleep");
    EXPECT_EQ(calls[1].what, "idle");
    EXPECT_EQ(calls[1].who, "tester");
    EXPECT_EQ(calls[1].why, "because");
    EXPECT_EQ(calls[1].mode, "block");
    EXPECT_TRUE(calls[1].granted);
}

TEST(FakeLogind, SeesTheLockReleasedWhenTheHoldingProcessDies) {
    test::FakeLogind logind;
    auto connection = sdbus::createSystemBusConnection();
    auto proxy = managerProxy(*connection);
    auto fd = inhibit(*proxy, "sleep");

    // A child inherits the lock; once ours is closed the child is its only holder.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd.get(), 3);
    const char* argv[] = {"/bin/sleep", "600", nullptr};
    pid_t child = -1;
    const int rc = ::posix_spawn(&child, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(rc, 0);
    fd.reset();
    EXPECT_TRUE(logind.isHeld(0));

    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(logind.waitForRelease(0));
}

TEST(FakeLogind, RefusesWhenToldAndServesTheLidProperty) {
    test::FakeLogind logind;
    auto connection = sdbus::createSystemBusConnection();
    auto proxy = managerProxy(*connection);

    logind.refuseInhibit();
    try {
        inhibit(*proxy, "sleep");
        ADD_FAILURE() << "Inhibit was not refused";
    } catch (const sdbus::Error& e) {
        EXPECT_EQ(e.getName(), "org.freedesktop.DBus.Error.AccessDenied");
    }
    logind.grantInhibit();
    EXPECT_TRUE(inhibit(*proxy, "sleep").isValid());
    ASSERT_EQ(logind.inhibitCalls().size(), 2u);
    EXPECT_FALSE(logind.inhibitCalls()[0].granted);
    EXPECT_FALSE(logind.isHeld(0));

    const auto read = [&] {
        return proxy->getProperty("LidClosed").onInterface(test::FakeLogind::managerInterface).get<bool>();
    };
    EXPECT_FALSE(read());
    logind.setLidClosed(true);
    EXPECT_TRUE(read());
}

TEST(PrivateSystemBus, HasNobodyServingLogindAndRestoresTheAddressAfterwards) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/before", 1);
    {
        test::PrivateSystemBus bus;
        auto connection = sdbus::createSystemBusConnection();
        auto proxy = managerProxy(*connection);
        try {
            inhibit(*proxy, "sleep");
            ADD_FAILURE() << "a bus without logind answered Inhibit";
        } catch (const sdbus::Error& e) {
            EXPECT_EQ(e.getName(), "org.freedesktop.DBus.Error.ServiceUnknown");
        }
    }
    EXPECT_STREQ(std::getenv("DBUS_SYSTEM_BUS_ADDRESS"), "unix:path=/nonexistent/before");
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}
