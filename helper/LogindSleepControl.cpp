#include "helper/LogindSleepControl.hpp"

#include "common/linux/LogindInhibit.hpp"
#include "helper/HelperMessages.hpp"

#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <utility>
#include <variant>

namespace torvane::helper {

namespace {

// An fd of our own, or the reason there is none.
std::variant<UniqueFd, std::string> takeInhibitorLock() {
    try {
        // A connection per request: nothing stays open between ticks, and a restarted bus or logind
        // is simply found again next time.
        auto connection = sdbus::createSystemBusConnection();
        auto manager = sdbus::createProxy(*connection, logind::service, logind::objectPath);
        auto lock = logind::inhibit(*manager, LogindSleepControl::what, LogindSleepControl::who,
                                    LogindSleepControl::why, LogindSleepControl::mode);
        if (auto* failure = std::get_if<logind::InhibitFailure>(&lock))
            return std::move(failure->message);
        return std::move(std::get<UniqueFd>(lock));
    } catch (const sdbus::Error& e) {
        return e.getMessage();
    } catch (const std::exception& e) {
        return std::string(e.what());
    }
}

} // namespace

LogindSleepControl::LogindSleepControl(LogSink log) : log_(std::move(log)) {}

std::optional<bool> LogindSleepControl::currentSleepDisabled() {
    // Our fd is the writing end of a FIFO whose reading end logind keeps while the lock stands.
    pollfd end{lock_.get(), 0, 0};
    if (lock_ && ::poll(&end, 1, 0) > 0 && (end.revents & (POLLERR | POLLHUP))) {
        lock_.reset();
        log_(messages::logindLockLost);
    }
    return static_cast<bool>(lock_);
}

bool LogindSleepControl::setSleepDisabled(bool disabled) {
    if (!disabled) {
        log_(restoreSleep() ? messages::sleepRestored : messages::sleepNeverPrevented);
        return true; // closing our own lock cannot fail
    }
    if (!lock_) { // one lock is enough; asking again while held would only stack them
        auto lock = takeInhibitorLock();
        if (auto* error = std::get_if<std::string>(&lock)) {
            log_(messages::logindRefused + *error);
            return false;
        }
        lock_ = std::move(std::get<UniqueFd>(lock));
    }
    log_(messages::sleepPrevented);
    return true;
}

bool LogindSleepControl::restoreSleep() {
    const bool held = static_cast<bool>(lock_);
    lock_.reset();
    return held;
}

} // namespace torvane::helper
