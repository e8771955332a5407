#include "helper/Helper.hpp"

#include "common/UniqueFd.hpp"
#include "helper/HelperMessages.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <exception>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <utility>

namespace torvane::helper {

namespace {

constexpr int stopSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The first stop signal, and the pipe that wakes the loop when it comes: checked before every tick,
// so that a signal arriving during a slow tick ends the daemon right after it.
volatile std::sig_atomic_t stopSignal = 0;
volatile std::sig_atomic_t wakeFd = -1;

extern "C" void onStopSignal(int signal) {
    const int savedErrno = errno;
    if (stopSignal == 0)
        stopSignal = signal;
    const char byte = 0;
    if (wakeFd >= 0)
        (void)!::write(wakeFd, &byte, 1);
    errno = savedErrno;
}

} // namespace

Helper::Helper(RequestFiles files, SleepControl& sleep, LogSink log)
    : files_(std::move(files)), sleep_(sleep), log_(std::move(log)) {}

void Helper::start() {
    log_(messages::started());
    files_.createDirectory();
    // Only a definite yes: when the state cannot be told, nothing is touched.
    if (sleep_.currentSleepDisabled() == true) {
        log_(messages::leftoverFound);
        if (sleep_.restoreSleep())
            log_(messages::sleepRestored);
    }
    appliedState_ = false;
    lastLoggedStale_ = false;
}

void Helper::tick() {
    const RequestFiles::Wish wish = files_.look();
    const bool want = wish.wanted;

    // A "1" that no longer counts means the app stopped refreshing it; "0" is an ordinary release.
    const bool stale = !want && wish.saysOn;
    if (stale && !lastLoggedStale_)
        log_(messages::heartbeatLost(files_.staleSeconds()));
    lastLoggedStale_ = stale;

    // Re-asserts when someone else changed the setting; without an answer, acts on a new wish only.
    const auto current = sleep_.currentSleepDisabled();
    bool carriedOut = !want || current != false; // a state that cannot be told counts as carried out
    if (want != appliedState_ || (current && *current != want)) {
        carriedOut = sleep_.setSleepDisabled(want) || !want;
        appliedState_ = want;
    }
    // The ack tells the app that its wish is carried out: a fresh "1" with the lock held, or a "0". A lock
    // refused, a "1" gone stale, a request that is missing or garbled, or one rewritten since it was read
    // leave the ack alone, so that the app stops promising a lid hold that nobody holds.
    if (carriedOut && (want || wish.saysOff) && files_.unchangedSinceLook())
        files_.writeAck();
}

void Helper::shutdown(std::string_view reason) {
    log_(messages::stopping(reason));
    if (sleep_.restoreSleep())
        log_(messages::sleepRestored);
}

int Helper::run() {
    // Without the pipe a signal still cuts the wait short, only not one that falls just before it.
    int fds[2] = {-1, -1};
    if (::pipe(fds) == 0) {
        for (int fd : fds) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
    }
    const UniqueFd wakeRead(fds[0]);
    const UniqueFd wakeWrite(fds[1]);
    stopSignal = 0;
    wakeFd = wakeWrite.get();
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : stopSignals)
        sigaddset(&action.sa_mask, signal);
    for (int signal : stopSignals)
        ::sigaction(signal, &action, nullptr);
    // A log that cannot be written (stderr on a pipe whose reader is gone) must not end the daemon.
    std::signal(SIGPIPE, SIG_IGN);

    try {
        start();
        loop(wakeRead.get());
        shutdown("signal " + std::to_string(stopSignal));
        return 0;
    } catch (const std::exception& e) {
        // The loop itself broke down (no memory, say): stop as on a signal, so that sleep is not left
        // prevented, and let the service manager start a fresh daemon.
        shutdown(e.what());
        return 1;
    }
}

void Helper::loop(int wakeRead) {
    using Clock = std::chrono::steady_clock;
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(POLL_SECONDS));
    auto due = Clock::now();
    while (stopSignal == 0) {
        const auto now = Clock::now();
        if (now >= due) {
            tick();
            // A tick that overran its period is followed by one at once, not by a burst of catch-ups.
            due = std::max(due + period, Clock::now());
            continue;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now);
        pollfd wake{wakeRead, POLLIN, 0};
        if (::poll(&wake, 1, static_cast<int>(left.count())) > 0) {
            char drained[64];
            while (::read(wakeRead, drained, sizeof drained) > 0) {
            }
        }
    }
}

} // namespace torvane::helper
