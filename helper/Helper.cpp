#include "helper/Helper.hpp"

#include "helper/HelperMessages.hpp"

#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <csignal>
#include <exception>
#include <functional>
#include <string>
#include <utility>

namespace torvane::helper {

namespace {

constexpr int stopSignals[] = {SIGTERM, SIGINT, SIGHUP};

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
    files_.writeAck();
    const bool want = files_.desiredState();

    // A "1" that no longer counts means the app stopped refreshing it; "0" is an ordinary release.
    const bool stale = !want && files_.requestSaysOn();
    if (stale && !lastLoggedStale_)
        log_(messages::heartbeatLost(files_.staleSeconds()));
    lastLoggedStale_ = stale;

    // Re-asserts when someone else changed the setting; without an answer, acts on a new wish only.
    const auto current = sleep_.currentSleepDisabled();
    if (want != appliedState_ || (current && *current != want)) {
        sleep_.setSleepDisabled(want);
        appliedState_ = want;
    }
}

void Helper::shutdown(std::string_view reason) {
    log_(messages::stopping(reason));
    if (sleep_.restoreSleep())
        log_(messages::sleepRestored);
}

int Helper::run() {
    start();
    try {
        return loop();
    } catch (const std::exception& e) {
        // The loop itself broke down (no event queue, no memory): stop as on a signal, so that sleep is
        // not left prevented, and let the service manager start a fresh daemon.
        shutdown(e.what());
        return 1;
    }
}

int Helper::loop() {
    asio::io_context io;
    asio::signal_set signals(io);
    for (int signal : stopSignals) {
        // Until the handler is in place the default action must not end the process.
        std::signal(signal, SIG_IGN);
        asio::error_code ignored;
        signals.add(signal, ignored);
    }

    asio::steady_timer timer(io);
    const auto period =
        std::chrono::duration_cast<asio::steady_timer::duration>(std::chrono::duration<double>(POLL_SECONDS));
    std::function<void(asio::steady_timer::time_point)> schedule = [&](asio::steady_timer::time_point due) {
        timer.expires_at(due);
        timer.async_wait([&, due](const asio::error_code& error) {
            if (error)
                return;
            tick();
            // A tick that overran its period is followed by one at once, not by a burst of catch-ups.
            schedule(std::max(due + period, asio::steady_timer::clock_type::now()));
        });
    };
    schedule(asio::steady_timer::clock_type::now());

    signals.async_wait([&](const asio::error_code& error, int signal) {
        if (error)
            return;
        // Later stop signals stay pending until exit: one stop, one stop line, exit status 0.
        sigset_t stops;
        sigemptyset(&stops);
        for (int s : stopSignals)
            sigaddset(&stops, s);
        ::sigprocmask(SIG_BLOCK, &stops, nullptr);
        timer.cancel();
        shutdown("signal " + std::to_string(signal));
    });

    io.run();
    return 0;
}

} // namespace torvane::helper
