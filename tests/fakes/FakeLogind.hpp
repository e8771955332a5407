#pragma once

// A stand-in for systemd-logind on a private system bus, for what the real one (RealLogind.hpp) cannot
// show here: a closed lid, and a refusal to a caller that is root.
//
//   test::FakeLogind logind;    // serves org.freedesktop.login1 on a PrivateSystemBus (RealLogind.hpp)
//   logind.setLidClosed(true);  // the Manager's LidClosed property; PropertiesChanged is emitted
//   logind.refuseInhibit();     // later Inhibit calls fail with org.freedesktop.DBus.Error.AccessDenied
//   logind.inhibitCalls();      // what/who/why/mode of each Inhibit call, in order
//   logind.heldCount();         // locks handed out whose holder still has its end of the pipe
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
    void refuseInhibit();
    void setLidClosed(bool closed);

private:
    struct State;
    PrivateSystemBus bus_; // first in, last out: the bus outlives the service on it
    std::unique_ptr<State> state_;
};

} // namespace torvane::test
