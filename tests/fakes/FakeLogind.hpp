#pragma once

// A stand-in for systemd-logind on a private system bus, for what the real one (RealLogind.hpp) cannot
// show here: a closed lid, and a refusal to a caller that is root.
//
//   test::FakeLogind logind;            // a private bus serving org.freedesktop.login1 (see RealLogind.hpp
//                                       // for DBUS_SYSTEM_BUS_ADDRESS and the daemon's life)
//   logind.setLidClosed(true);          // the Manager's LidClosed property; PropertiesChanged is emitted
//   logind.refuseInhibit();             // later Inhibit calls fail with
//   org.freedesktop.DBus.Error.AccessDenied logind.inhibitCalls();              // what/who/why/mode of each
//   Inhibit call, in order logind.heldCount();                 // locks handed out whose holder still has its
//   end of the pipe logind.waitForRelease(i);           // the lock of call i closed by its holder, or the
//   holder died
//
// Link torvane_fake_logind; construct on the test's main thread. Throws std::runtime_error on failure.

#include "tests/fakes/RealLogind.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace torvane::test {

struct InhibitCall {
    std::string what, who, why, mode;
};

class FakeLogind {
public:
    FakeLogind();
    ~FakeLogind();

    std::vector<InhibitCall> inhibitCalls() const;
    std::size_t heldCount() const;
    bool waitForRelease(std::size_t index, std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
    void refuseInhibit();
    void setLidClosed(bool closed);

private:
    struct State;
    PrivateSystemBus bus_; // first in, last out: the bus outlives the service on it
    std::unique_ptr<State> state_;
};

} // namespace torvane::test
