#pragma once

// The real systemd-logind on a private system bus, for tests of code that takes inhibitor locks.
//
//   TORVANE_REQUIRE_REAL_LOGIND();     // first in the test body: skips, saying why, unless this runs as
//                                      // root and /lib/systemd/systemd-logind exists
//   test::RealLogind logind;           // dbus-daemon (type "system") plus systemd-logind, ready on return
//   logind.address();                  // the bus; DBUS_SYSTEM_BUS_ADDRESS names it until stop() (which puts
//                                      // back the value before), so the code under test and every child it
//                                      // starts reach this logind
//   logind.inhibitors();               // every lock as logind lists it: what, who, why, mode, uid, pid
//   logind.stop();                     // both daemons gone (also done by the destructor)
//
//   test::PrivateBus bus;              // just the bus: nobody serves org.freedesktop.login1 on it
//   test::PrivateBus session("DBUS_SESSION_BUS_ADDRESS");  // a bus the session variable names instead
//
// Each instance has its own bus socket under a fresh mkdtemp directory in /tmp (open to every user, so a
// test may call in as an unprivileged one) and its own logind, run in a private mount namespace over an
// empty /run/systemd: instances share nothing and the machine's /run is untouched. Link
// torvane_fake_logind. Construct on the test's main thread: the daemons die with the thread that started
// them. Construction throws std::runtime_error when a daemon does not come up.

#include "tests/fakes/TestSupport.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#define TORVANE_REQUIRE_REAL_LOGIND()                                                                        \
    if (const auto torvaneNoLogind = ::torvane::test::RealLogind::unavailable())                             \
    GTEST_SKIP() << *torvaneNoLogind

namespace torvane::test {

class PrivateBus {
public:
    explicit PrivateBus(std::string variable = "DBUS_SYSTEM_BUS_ADDRESS");
    ~PrivateBus() { stop(); }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& address() const { return address_; }
    void stop();

private:
    std::string variable_, dir_, address_;
    std::optional<std::string> previous_; // the variable's value before, put back by stop()
    std::unique_ptr<ChildProcess> daemon_;
};

struct Inhibitor {
    std::string what, who, why, mode;
    std::uint32_t uid = 0, pid = 0;
};

class RealLogind {
public:
    // Why the real logind cannot run here, or nothing when it can.
    static std::optional<std::string> unavailable();

    RealLogind();
    ~RealLogind() { stop(); }

    const std::string& address() const { return bus_.address(); }
    std::vector<Inhibitor> inhibitors() const;
    void signal(int number) const { daemon_->signal(number); } // SIGSTOP: a logind that never answers
    void stop();

private:
    PrivateBus bus_;
    std::unique_ptr<ChildProcess> daemon_;
};

} // namespace torvane::test
