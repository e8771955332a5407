#pragma once

// A stand-in for systemd-logind on a private system bus, for what the real one (RealLogind.hpp) cannot
// show here: a closed lid, and a refusal to a caller that is root.
//
//   test::FakeLogind logind;    // serves org.freedesktop.login1 on a PrivateBus (RealLogind.hpp)
//   logind.setLidClosed(true);  // the Manager's LidClosed property; PropertiesChanged is emitted
//                               // every Inhibit call fails with org.freedesktop.DBus.Error.AccessDenied
//
// Link torvane_fake_logind; construct on the test's main thread. Throws std::runtime_error on failure.

#include "tests/fakes/RealLogind.hpp"

#include <atomic>
#include <sdbus-c++/sdbus-c++.h>

namespace torvane::test {

class FakeLogind {
public:
    FakeLogind() {
        object_->registerMethod("Inhibit").onInterface(manager).implementedAs(
            [](const std::string&, const std::string&, const std::string&,
               const std::string&) -> sdbus::UnixFd {
                throw sdbus::Error("org.freedesktop.DBus.Error.AccessDenied", "Access denied");
            });
        object_->registerProperty("LidClosed").onInterface(manager).withGetter([this] {
            return lidClosed_.load();
        });
        object_->finishRegistration();
        connection_->enterEventLoopAsync();
    }
    ~FakeLogind() { connection_->leaveEventLoop(); }

    void setLidClosed(bool closed) {
        lidClosed_ = closed;
        object_->emitPropertiesChangedSignal(manager, {"LidClosed"});
    }

private:
    static constexpr const char* manager = "org.freedesktop.login1.Manager";
    std::atomic<bool> lidClosed_{false};
    PrivateBus bus_; // the bus outlives the service on it
    std::unique_ptr<sdbus::IConnection> connection_ =
        sdbus::createSystemBusConnection("org.freedesktop.login1");
    std::unique_ptr<sdbus::IObject> object_ = sdbus::createObject(*connection_, "/org/freedesktop/login1");
};

} // namespace torvane::test
