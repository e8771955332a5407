#pragma once

#include "app/core/MainLoop.hpp"
#include "app/platform/SessionActivity.hpp"
#include "common/UniqueFd.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace sdbus {
class IConnection;
}

namespace torvane {

// The session's Active property as systemd-logind has it on the system bus ($DBUS_SYSTEM_BUS_ADDRESS when
// set), followed through PropertiesChanged on a thread of its own; changes and log lines reach the main
// thread through the loop. The session is the one this process belongs to or, for a process outside every
// session (started by a user service), the user's display session. A lost bus or logind counts as active
// until the session is found again: at the bus's next retry, or as soon as logind takes its name again.
class LogindSessionActivity final : public SessionActivity {
public:
    explicit LogindSessionActivity(MainLoop& loop,
                                   std::chrono::milliseconds callTimeout = std::chrono::seconds(5),
                                   std::chrono::milliseconds retryInterval = std::chrono::seconds(30));
    ~LogindSessionActivity() override;
    LogindSessionActivity(const LogindSessionActivity&) = delete;
    LogindSessionActivity& operator=(const LogindSessionActivity&) = delete;

    bool isActive() const override;
    void onChange(std::function<void()> changed) override;

    // Why the session cannot be followed; each is logged once, until a session is followed again.
    enum class Unknown { none, noBus, busLost, noLogind, noSession, noAnswer };

private:
    struct MainSide;

    void run();
    void follow(sdbus::IConnection& connection);
    // Sleeps for `timeoutMs` (-1: no limit), until the bus has something or until the object goes; false
    // when it goes.
    bool wait(int timeoutMs, int busFd = -1, short busEvents = 0);
    void publish(bool active);
    void fallBack(Unknown why, const std::string& detail = {});

    MainLoop& loop_;
    std::chrono::milliseconds callTimeout_, retryInterval_;
    std::shared_ptr<MainSide> main_; // shared with the calls posted to the loop
    // The watcher thread's own.
    bool published_ = true;
    Unknown logged_ = Unknown::none;
    std::atomic<bool> stopping_{false};
    UniqueFd wake_;       // an eventfd that ends the thread's waits
    std::thread watcher_; // last: starts after everything above exists
};

} // namespace torvane
