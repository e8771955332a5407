#include "app/platform/linux/LogindSessionActivity.hpp"

#include "app/core/Log.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <string_view>
#include <sys/eventfd.h>
#include <unistd.h>
#include <variant>
#include <vector>

namespace torvane {

namespace {

using Clock = std::chrono::steady_clock;
using Unknown = LogindSessionActivity::Unknown;

constexpr const char* service = "org.freedesktop.login1";
constexpr const char* managerPath = "/org/freedesktop/login1";
constexpr const char* managerInterface = "org.freedesktop.login1.Manager";
constexpr const char* sessionInterface = "org.freedesktop.login1.Session";
constexpr const char* userInterface = "org.freedesktop.login1.User";

struct Failure {
    Unknown why;
    std::string detail;
};

Failure failureOf(const sdbus::Error& error) {
    const std::string& name = error.getName();
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == "org.freedesktop.DBus.Error.NameHasNoOwner")
        return {Unknown::noLogind, {}};
    return {Unknown::noAnswer, error.getMessage()};
}

// This process's own session, else (started outside every session) the user's display session: the one
// whose keyboard this user's Caps Lock is typed on.
std::variant<sdbus::ObjectPath, Failure> findSession(sdbus::IConnection& connection) {
    const auto manager = sdbus::createProxy(connection, service, managerPath);
    try {
        sdbus::ObjectPath own;
        manager->callMethod("GetSessionByPID")
            .onInterface(managerInterface)
            .withArguments(static_cast<std::uint32_t>(::getpid()))
            .storeResultsTo(own);
        return own;
    } catch (const sdbus::Error& error) {
        if (error.getName() != "org.freedesktop.login1.NoSessionForPID")
            return failureOf(error);
    }
    try {
        sdbus::ObjectPath user;
        manager->callMethod("GetUser")
            .onInterface(managerInterface)
            .withArguments(static_cast<std::uint32_t>(::getuid()))
            .storeResultsTo(user);
        const auto display = sdbus::createProxy(connection, service, user)
                                 ->getProperty("Display")
                                 .onInterface(userInterface)
                                 .get<sdbus::Struct<std::string, sdbus::ObjectPath>>();
        if (display.get<1>() != "/")
            return display.get<1>();
    } catch (const sdbus::Error& error) {
        if (error.getName() != "org.freedesktop.login1.NoSuchUser")
            return failureOf(error);
    }
    return Failure{Unknown::noSession, {}};
}

// The log line's start: what the session cannot be followed for.
std::string_view causeOf(Unknown why) {
    switch (why) {
    case Unknown::noBus:
        return "INFO: システムバスに接続できない";
    case Unknown::busLost:
        return "WARN: システムバスとの接続が切れた";
    case Unknown::noLogind:
        return "INFO: systemd-logind が見つからない";
    case Unknown::noSession:
        return "INFO: ログインセッションが見つからない";
    case Unknown::noAnswer:
        return "WARN: systemd-logind からセッションの状態を得られない";
    case Unknown::none:
        break;
    }
    return {};
}

// Milliseconds for poll(): -1 for no deadline.
int msUntil(std::optional<Clock::time_point> deadline) {
    if (!deadline)
        return -1;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(ms)>(ms, 0, INT_MAX));
}

} // namespace

struct LogindSessionActivity::MainSide {
    bool active = true;
    std::function<void()> changed;

    void set(bool value) {
        if (value == active)
            return;
        active = value;
        if (const auto call = changed) // a copy: the call may replace it
            call();
    }
};

LogindSessionActivity::LogindSessionActivity(MainLoop& loop, std::chrono::milliseconds callTimeout,
                                             std::chrono::milliseconds retryInterval)
    : loop_(loop), callTimeout_(callTimeout), retryInterval_(retryInterval),
      main_(std::make_shared<MainSide>()), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wake_.valid())
        watcher_ = std::thread([this] { run(); });
    else
        fallBack(Unknown::noAnswer, std::string("eventfd: ") + std::strerror(errno));
}

LogindSessionActivity::~LogindSessionActivity() {
    stopping_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t woken = ::write(wake_.get(), &one, sizeof one);
    if (watcher_.joinable())
        watcher_.join();
    main_->changed = nullptr; // calls still queued in the loop find nobody
}

bool LogindSessionActivity::isActive() const {
    return main_->active;
}

void LogindSessionActivity::onChange(std::function<void()> changed) {
    main_->changed = std::move(changed);
}

void LogindSessionActivity::publish(bool active) {
    if (active == published_)
        return;
    published_ = active;
    loop_.post([main = main_, active] { main->set(active); });
}

void LogindSessionActivity::fallBack(Unknown why, const std::string& detail) {
    publish(true); // never a stale "inactive": that would hold carry mode off for good
    if (why == logged_)
        return;
    logged_ = why;
    std::string line = std::string(causeOf(why)) + "ため、ユーザーの切り替えを確かめずに動作します";
    if (!detail.empty())
        line += ": " + detail;
    // Through the loop, so the lines come after the launch's own and in order with the delegate's.
    loop_.post([line = std::move(line)] { Log::write(line); });
}

bool LogindSessionActivity::wait(int timeoutMs, int busFd, short busEvents) {
    pollfd fds[2] = {{wake_.get(), POLLIN, 0}, {busFd, busEvents, 0}};
    ::poll(fds, busFd >= 0 ? 2 : 1, timeoutMs);
    return !stopping_.load();
}

void LogindSessionActivity::run() {
    const int retryMs = static_cast<int>(retryInterval_.count());
    while (!stopping_.load()) {
        std::unique_ptr<sdbus::IConnection> connection;
        try {
            connection = sdbus::createSystemBusConnection();
            connection->setMethodCallTimeout(callTimeout_);
        } catch (const sdbus::Error& error) {
            fallBack(Unknown::noBus, error.getMessage());
            if (!wait(retryMs))
                return;
            continue;
        }
        try {
            follow(*connection);
        } catch (const sdbus::Error& error) {
            fallBack(Unknown::busLost, error.getMessage());
            if (!wait(retryMs))
                return;
        }
    }
}

void LogindSessionActivity::follow(sdbus::IConnection& connection) {
    bool lookUp = true;      // find the session: at first, and after the signals below
    bool readActive = false; // read the property itself: once subscribed, and when a change did not carry it
    std::optional<Clock::time_point> retryAt;
    std::unique_ptr<sdbus::IProxy> session;

    // logind gone, back (a restart) or a session ended: found afresh, so no value from before stays.
    const auto ownerMatch =
        connection.addMatch("type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                            "member='NameOwnerChanged',arg0='org.freedesktop.login1'",
                            [&](sdbus::Message&) { lookUp = true; });
    const auto removedMatch = connection.addMatch(
        "type='signal',sender='org.freedesktop.login1',interface='org.freedesktop.login1.Manager',"
        "member='SessionRemoved'",
        [&](sdbus::Message&) { lookUp = true; });

    while (!stopping_.load()) {
        if (lookUp || (retryAt && Clock::now() >= *retryAt)) {
            lookUp = false;
            retryAt.reset();
            session.reset();
            auto found = findSession(connection);
            if (const Failure* failure = std::get_if<Failure>(&found)) {
                fallBack(failure->why, failure->detail);
                if (failure->why != Unknown::noLogind) // logind's arrival is a NameOwnerChanged
                    retryAt = Clock::now() + retryInterval_;
            } else {
                session = sdbus::createProxy(connection, service, std::get<sdbus::ObjectPath>(found));
                session->uponSignal("PropertiesChanged")
                    .onInterface("org.freedesktop.DBus.Properties")
                    .call([&](const std::string& interface,
                              const std::map<std::string, sdbus::Variant>& changed,
                              const std::vector<std::string>& invalidated) {
                        if (interface != sessionInterface)
                            return;
                        const auto active = changed.find("Active");
                        if (active != changed.end() && active->second.containsValueOfType<bool>())
                            publish(active->second.get<bool>());
                        else if (std::find(invalidated.begin(), invalidated.end(), "Active") !=
                                 invalidated.end())
                            readActive = true;
                    });
                session->finishRegistration();
                readActive = true; // read after subscribing, so no change falls in between
            }
        }
        if (readActive && session) {
            readActive = false;
            try {
                const sdbus::Variant value = session->getProperty("Active").onInterface(sessionInterface);
                publish(value.get<bool>());
                logged_ = Unknown::none;
            } catch (const sdbus::Error& error) {
                session.reset();
                const Failure failure = failureOf(error);
                fallBack(failure.why, failure.detail);
                retryAt = Clock::now() + retryInterval_;
            }
        }
        // What a call left queued is dispatched before waiting: the socket may have nothing more to say.
        while (!lookUp && !readActive && connection.processPendingRequest()) {
        }
        if (lookUp || readActive)
            continue;
        const sdbus::IConnection::PollData poll = connection.getEventLoopPollData();
        const int retryMs = msUntil(retryAt), busMs = poll.getPollTimeout();
        const int timeoutMs = retryMs < 0 ? busMs : busMs < 0 ? retryMs : std::min(retryMs, busMs);
        if (!wait(timeoutMs, poll.fd, poll.events))
            return;
    }
}

} // namespace torvane
