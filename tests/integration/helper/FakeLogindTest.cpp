#include "tests/fakes/FakeLogind.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

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
