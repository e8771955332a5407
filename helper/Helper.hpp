#pragma once

#include "helper/LogSink.hpp"
#include "helper/RequestFiles.hpp"
#include "helper/SleepControl.hpp"

#include <string_view>

namespace torvane::helper {

// The daemon: start, the poll tick that brings the sleep setting into line with the app's request,
// the lost-heartbeat watchdog, and the orderly stop. Single-threaded: everything runs in run()'s loop.
class Helper {
public:
    Helper(RequestFiles files, SleepControl& sleep, LogSink log = logToStandardError);

    // Start line, shared directory, and undoing a prevention left behind by an earlier run.
    void start();
    // One poll: read the wish, warn once per lost heartbeat, switch sleep when needed, and touch the
    // ack when the wish read is carried out.
    void tick();
    // The stop line and normal sleep back, whatever was applied.
    void shutdown(std::string_view reason);

    // start(), then a tick at once and every POLL_SECONDS until SIGTERM, SIGINT or SIGHUP, which
    // runs shutdown() as soon as the tick in progress ends. Returns the process's exit status: 0, or 1 if
    // the loop itself failed.
    int run();

private:
    void loop(int wakeRead);

    RequestFiles files_;
    SleepControl& sleep_;
    LogSink log_;
    bool appliedState_ = false;
    bool lastLoggedStale_ = false;
};

} // namespace torvane::helper
