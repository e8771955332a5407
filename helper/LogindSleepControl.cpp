#include "helper/LogindSleepControl.hpp"

#include "common/Text.hpp"
#include "helper/HelperMessages.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <unistd.h>
#include <utility>
#include <variant>

namespace torvane::helper {

namespace {

// An fd of our own, or the reason there is none.
std::variant<int, std::string> takeInhibitorLock() {
    try {
        // A connection per request: nothing stays open between ticks, and a restarted bus or logind
        // is simply found again next time.
        auto connection = sdbus::createSystemBusConnection();
        auto manager = sdbus::createProxy(*connection, "org.freedesktop.login1", "/org/freedesktop/login1");
        sdbus::UnixFd fd;
        manager->callMethod("Inhibit")
            .onInterface("org.freedesktop.login1.Manager")
            .withArguments(std::string(LogindSleepControl::what), std::string(LogindSleepControl::who),
                           std::string(LogindSleepControl::why), std::string(LogindSleepControl::mode))
            .storeResultsTo(fd);
        if (!fd.isValid())
            return std::string("no file descriptor in the reply");
        // Close-on-exec, so that a child (pmset, anything spawned later) never keeps the lock alive.
        const int own = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
        if (own < 0)
            return text::errorText(errno);
        return own;
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
        lock_.reset(std::get<int>(lock));
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
