#pragma once

// A private system bus and a stand-in for systemd-logind on it, for tests of code that takes logind
// inhibitor locks or reads its LidClosed property.
//
//   test::FakeLogind logind;            // starts dbus-daemon and serves org.freedesktop.login1
//   // DBUS_SYSTEM_BUS_ADDRESS now names the private bus, in this process and every child it starts
//   codeUnderTest();                    // calls Manager.Inhibit(what, who, why, mode) -> h
//   auto calls = logind.inhibitCalls(); // what/who/why/mode of each call, in order
//   EXPECT_TRUE(logind.isHeld(0));      // the holder still has its end of the pipe
//   EXPECT_TRUE(logind.waitForRelease(0)); // closed by the holder, or the holder died
//   logind.refuseInhibit();             // later calls fail with org.freedesktop.DBus.Error.AccessDenied
//   logind.setLidClosed(true);          // the Manager's LidClosed property (PropertiesChanged is emitted)
//
// Link torvane_fake_logind. Every instance runs its own dbus-daemon on a socket in its own temporary
// directory, so tests share nothing and need no RESOURCE_LOCK. Construct it on the test's main thread:
// the bus daemon is told to die with the thread that started it, so a crashed test leaves none behind.
// Construction throws std::runtime_error when dbus-daemon cannot be started.

#include "tests/fakes/RealLogind.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace torvane::test {

struct InhibitCall {
    std::string what;
    std::string who;
    std::string why;
    std::string mode;
    bool granted = false; // false when the call was refused
};

class FakeLogind {
public:
    static constexpr const char* serviceName = "org.freedesktop.login1";
    static constexpr const char* objectPath = "/org/freedesktop/login1";
    static constexpr const char* managerInterface = "org.freedesktop.login1.Manager";

    FakeLogind();
    ~FakeLogind();
    FakeLogind(const FakeLogind&) = delete;
    FakeLogind& operator=(const FakeLogind&) = delete;

    const PrivateSystemBus& bus() const { return bus_; }

    // Every Inhibit call so far, refused ones included, in call order.
    std::vector<InhibitCall> inhibitCalls() const;
    // Whether the lock handed out by call `index` is still held (false for refused calls).
    bool isHeld(std::size_t index) const;
    std::size_t heldCount() const;
    // Waits until the lock of call `index` is released; false if it is still held after `limit`.
    bool waitForRelease(std::size_t index,
                        std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) const;

    // From now on Inhibit answers with this D-Bus error instead of a lock.
    void refuseInhibit(std::string errorName = "org.freedesktop.DBus.Error.AccessDenied",
                       std::string message = "Access denied");
    void grantInhibit();

    void setLidClosed(bool closed);
    bool lidClosed() const;

private:
    struct State;
    PrivateSystemBus bus_; // first in, last out: the bus outlives the service on it
    std::unique_ptr<State> state_;
};

} // namespace torvane::test
