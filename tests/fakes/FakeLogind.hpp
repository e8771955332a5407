#pragma once

// A stand-in for systemd-logind on a private system bus, for what the real one (RealLogind.hpp) cannot
// show here: a refusal to a caller that is root, and login sessions.
//
//   test::FakeLogind logind;    // serves org.freedesktop.login1 on a PrivateBus (RealLogind.hpp)
//                               // every Inhibit call fails with org.freedesktop.DBus.Error.AccessDenied
//   test::FakeLogind two({"c1", "c2"});  // also these sessions, each active, at .../session/<id>
//   two.setSessionActive("c1", false);   // its Active property; PropertiesChanged is emitted
//   two.setCallerSession("c1");          // what GetSessionByPID answers for any pid (none: NoSessionForPID)
//   two.setDisplaySession("c2");         // the Display of the user GetUser answers for any uid
//
// Link torvane_fake_logind; construct on the test's main thread. Throws std::runtime_error on failure.

#include "tests/fakes/RealLogind.hpp"

#include <atomic>
#include <map>
#include <mutex>
#include <sdbus-c++/sdbus-c++.h>

namespace torvane::test {

class FakeLogind {
public:
    explicit FakeLogind(const std::vector<std::string>& sessionIds = {}) {
        object_->registerMethod("Inhibit").onInterface(manager).implementedAs(
            [](const std::string&, const std::string&, const std::string&,
               const std::string&) -> sdbus::UnixFd {
                throw sdbus::Error("org.freedesktop.DBus.Error.AccessDenied", "Access denied");
            });
        object_->registerMethod("GetSessionByPID").onInterface(manager).implementedAs([this](std::uint32_t) {
            const std::lock_guard lock(mutex_);
            if (caller_.empty())
                throw sdbus::Error("org.freedesktop.login1.NoSessionForPID", "not in a session");
            return sdbus::ObjectPath(path(caller_));
        });
        object_->registerMethod("GetUser").onInterface(manager).implementedAs(
            [](std::uint32_t) { return sdbus::ObjectPath(userPath); });
        object_->finishRegistration();
        user_->registerProperty("Display").onInterface("org.freedesktop.login1.User").withGetter([this] {
            const std::lock_guard lock(mutex_);
            return sdbus::Struct<std::string, sdbus::ObjectPath>(display_,
                                                                 display_.empty() ? "/" : path(display_));
        });
        user_->finishRegistration();
        for (const std::string& id : sessionIds) {
            Session& s = sessions_[id];
            s.object = sdbus::createObject(*connection_, path(id));
            s.object->registerProperty("Active").onInterface(session).withGetter(
                [&s] { return s.active.load(); });
            s.object->finishRegistration();
        }
        connection_->enterEventLoopAsync();
    }
    ~FakeLogind() { connection_->leaveEventLoop(); }

    void setSessionActive(const std::string& id, bool active) {
        Session& s = sessions_.at(id);
        s.active = active;
        s.object->emitPropertiesChangedSignal(session, {"Active"});
    }
    void setCallerSession(std::string id) {
        const std::lock_guard lock(mutex_);
        caller_ = std::move(id);
    }
    void setDisplaySession(std::string id) {
        const std::lock_guard lock(mutex_);
        display_ = std::move(id);
    }

private:
    static constexpr const char* manager = "org.freedesktop.login1.Manager";
    static constexpr const char* session = "org.freedesktop.login1.Session";
    static constexpr const char* userPath = "/org/freedesktop/login1/user/_1000";
    static std::string path(const std::string& id) { return "/org/freedesktop/login1/session/" + id; }

    struct Session {
        std::atomic<bool> active{true};
        std::unique_ptr<sdbus::IObject> object;
    };
    std::mutex mutex_;
    std::string caller_, display_;
    PrivateBus bus_; // the bus outlives the service on it
    std::unique_ptr<sdbus::IConnection> connection_ =
        sdbus::createSystemBusConnection("org.freedesktop.login1");
    std::unique_ptr<sdbus::IObject> object_ = sdbus::createObject(*connection_, "/org/freedesktop/login1");
    std::unique_ptr<sdbus::IObject> user_ = sdbus::createObject(*connection_, userPath);
    std::map<std::string, Session> sessions_;
};

} // namespace torvane::test
